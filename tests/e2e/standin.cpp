// Test-only stand-in, never shipped, for the Windows tools a task's command line calls (query.exe,
// schtasks.exe, shutdown.exe), copied under each one's name: it appends "NAME ARGUMENTS" to the
// file KELVOR_STANDIN_LOG names, and as query.exe answers with KELVOR_QUERY_STDOUT and
// KELVOR_QUERY_STDERR ("|" between lines) and the exit code KELVOR_QUERY_EXIT.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Write(FILE *to, const char *variable)
{
    const char *text = std::getenv(variable);
    for (; text && *text; ++text)
        std::fputc(*text == '|' ? '\n' : *text, to);
    if (text)
        std::fputc('\n', to);
}

}  // namespace

int main()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    char *name = std::strrchr(path, '\\') ? std::strrchr(path, '\\') + 1 : path;
    for (char *c = name; *c; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    if (char *dot = std::strrchr(name, '.'))
        *dot = '\0';
    const char *line = GetCommandLineA(), *rest = line;
    for (bool quoted = false; *rest && (quoted || *rest != ' '); ++rest)
        quoted ^= *rest == '"';
    if (const char *log = std::getenv("KELVOR_STANDIN_LOG"))
        if (FILE *f = std::fopen(log, "a")) {
            std::fprintf(f, "%s%s\n", name, rest);
            std::fclose(f);
        }
    if (std::strcmp(name, "query") != 0)
        return 0;
    Write(stdout, "KELVOR_QUERY_STDOUT");
    Write(stderr, "KELVOR_QUERY_STDERR");
    const char *code = std::getenv("KELVOR_QUERY_EXIT");
    return code ? std::atoi(code) : 0;
}
