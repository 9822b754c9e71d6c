#!/usr/bin/python3
"""Plans one apt transaction for set-up so that Wine's 32-bit libraries can go in beside the
64-bit ones: a Multi-Arch: same library must have one version on both architectures, and the
i386 side may lack an index (a mirror that serves it inconsistently) or the amd64 side may carry
a version no index has any more. apt's own resolver does the planning; this only tells it, for
each such library, to prefer the version the i386 side can have, then hands the exact result to
apt-get. Usage: aptplan.py PACKAGE[:ARCH]...  Prints apt-get arguments, one per line, then a line
'--auto' and the names apt chose by itself; exit 1, naming what cannot go in, when the request
cannot be met (set-up then shows apt's own reasons). Needs python3-apt (Debian's /usr/bin/python3)."""
import re
import sys

import apt_pkg

SAME = apt_pkg.Version.MULTI_ARCH_SAME


def changing(dep, pkg):
    return dep.marked_install(pkg) or dep.marked_upgrade(pkg) or dep.marked_downgrade(pkg)


def plan(cache, names, twins):
    """A depcache with NAMES marked, where for every amd64 library in TWINS the candidate is the
    version its i386 twin can have."""
    dep = apt_pkg.DepCache(cache)
    for pkg, ver, _ in twins:
        dep.set_candidate_ver(pkg, ver)
    with apt_pkg.ActionGroup(dep):
        # Recommends for the tools as on a usual machine; the 32-bit side needs only its libraries.
        for name in names:
            apt_pkg.config.set('APT::Install-Recommends', 'false' if ':i386' in name else 'true')
            dep.mark_install(cache[name], True, True)
    if dep.broken_count:  # as apt-get does after marking: keep back what cannot go in
        fixer = apt_pkg.ProblemResolver(dep)
        for name in names:
            fixer.protect(cache[name])
        try:
            fixer.resolve(True)
        except SystemError:
            pass
    return dep


def mismatched(cache, policy):
    """(amd64 package, version, i386 twin's name) for every Multi-Arch: same library whose
    preferred versions differ between the architectures while amd64 also offers the i386 one,
    and for the other amd64 packages built from the same source, at that source's version (their
    exact dependencies on each other would otherwise make apt remove them)."""
    out, sources = [], {}
    records = apt_pkg.PackageRecords(cache)

    def source(ver):
        records.lookup(ver.file_list[0])
        return records.source_pkg or ver.parent_pkg.name, records.source_ver or ver.ver_str

    for pkg in cache.packages:
        if pkg.architecture != 'i386' or not pkg.has_versions:
            continue
        ver = policy.get_candidate_ver(pkg)
        if ver is None or ver.multi_arch != SAME:
            continue
        try:
            twin = cache[pkg.name, 'amd64']
        except KeyError:
            continue
        cand = policy.get_candidate_ver(twin)
        if cand is not None and cand.ver_str != ver.ver_str:
            same = [v for v in twin.version_list if v.ver_str == ver.ver_str]
            if same:
                out.append((twin, same[0], pkg.name))
                sources[source(same[0])[0]] = (source(same[0])[1], pkg.name)
    targets = {v for v, _ in sources.values()}
    for pkg in cache.packages:
        if pkg.architecture not in ('amd64', 'all') or not pkg.has_versions:
            continue
        cand = policy.get_candidate_ver(pkg)
        # Reading a package's record is slow: first a cheap look at the version strings (a
        # binary rebuild adds +bN to its source's version).
        same = [v for v in pkg.version_list if re.sub(r'\+b[0-9]+$', '', v.ver_str) in targets]
        if cand is None or not same or any(v.ver_str == cand.ver_str for v in same) or \
                any(pkg.id == p.id for p, _, _ in out) or source(cand)[0] not in sources:
            continue
        srcver, name = sources[source(cand)[0]]
        same = [v for v in same if source(v)[1] == srcver]
        if same:
            out.append((pkg, same[0], name))
    return out


def unmet(dep, cache, names):
    """Requested packages that the plan leaves out, and every package the plan leaves broken."""
    out = [n for n in names if not changing(dep, cache[n]) and cache[n].current_ver is None]
    out += [p.get_fullname() for p in cache.packages if dep.is_inst_broken(p)]
    return out


def main(names):
    apt_pkg.init()
    cache = apt_pkg.Cache(None)
    unknown = [n for n in names if n not in cache]
    if unknown:
        print('aptplan: no package named ' + ' '.join(unknown), file=sys.stderr)
        return 1
    twins = mismatched(cache, apt_pkg.Policy(cache))
    # First with every library aligned, to learn which i386 twins the request pulls in; then
    # aligned only where such a twin comes, so nothing else moves off its usual version.
    dep = plan(cache, names, twins)
    bad = unmet(dep, cache, names)
    if bad:
        print('aptplan: cannot install ' + ' '.join(bad), file=sys.stderr)
        return 1
    wanted = {p.name for p in cache.packages if p.architecture == 'i386' and
              (changing(dep, p) or p.current_ver is not None)}
    narrow = plan(cache, names, [t for t in twins if t[2] in wanted])
    if not unmet(narrow, cache, names):
        dep = narrow
    auto = []
    for pkg in cache.packages:
        if changing(dep, pkg):
            print('%s=%s' % (pkg.get_fullname(), dep.get_candidate_ver(pkg).ver_str))
            if dep.is_auto_installed(pkg):
                auto.append(pkg.get_fullname())
    print('--auto')
    print('\n'.join(auto))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
