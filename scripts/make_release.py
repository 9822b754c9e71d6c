#!/usr/bin/env python3
"""Builds the release from the two built executables: both installer packages and the zip. Given a
code-signing key, it first signs both executables (Authenticode, SHA-256, with osslsigncode), builds
the packages from the signed ones and signs the packages, so that the zip and its checksums hold
signed files only. Without a key it builds exactly what it always did.

make_release.py --version 1.2.1.8 --version-text 1.2.1h --source DIR --i686 EXE --x86_64 EXE --out DIR

The key comes from the environment, never from a command line, and nothing of it is printed:
  KELVOR_SIGN_PKCS12, KELVOR_SIGN_PASSWORD_FILE  a PKCS#12 file and the file that holds its password
  KELVOR_SIGN_KEY, KELVOR_SIGN_CERT, KELVOR_SIGN_PIN_FILE, KELVOR_SIGN_PKCS11_MODULE
      a key on a PKCS#11 token: its pkcs11: URI, the certificate chain (PEM), the file that holds
      the PIN, and the token's PKCS#11 module; reached through OpenSSL's pkcs11 engine
  KELVOR_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's address: required for a release
  KELVOR_SIGN_TEST=1  this build is a test: signing without a time stamp, or with
      KELVOR_SIGN_TSA_CERTS, KELVOR_SIGN_TSA_KEY  osslsigncode's own time-stamp authority with this
      certificate chain and key, whose stamp proves nothing unless its chain ends at a trusted root
A signature without a time stamp stops verifying when the signing certificate expires, so a
release is not signed without one. The signing time is the release's own (buildtime.py): the same
inputs and key give the same bytes, unless a time stamp is asked for.
"""
import argparse
import os
import shutil
import subprocess
import sys

from buildtime import build_time

HERE = os.path.dirname(os.path.abspath(__file__))


def signing_options(env, when):
    """osslsigncode's options for the key in `env`, or None when no key is given."""
    def need(*names):
        absent = [n for n in names if not env.get(n)]
        if absent:
            sys.exit('make_release: signing needs ' + ', '.join(absent))
        return [env[n] for n in names]

    if env.get('KELVOR_SIGN_PKCS12'):
        p12, password = need('KELVOR_SIGN_PKCS12', 'KELVOR_SIGN_PASSWORD_FILE')
        options = ['-pkcs12', p12, '-readpass', password]
    elif env.get('KELVOR_SIGN_KEY'):
        key, cert, pin, module = need('KELVOR_SIGN_KEY', 'KELVOR_SIGN_CERT', 'KELVOR_SIGN_PIN_FILE',
                                      'KELVOR_SIGN_PKCS11_MODULE')
        engines = subprocess.run(['openssl', 'version', '-e'], capture_output=True, text=True).stdout
        engine = os.path.join(engines.split('"')[1] if '"' in engines else '', 'pkcs11.so')
        options = ['-pkcs11engine', engine, '-pkcs11module', module, '-certs', cert, '-key', key, '-readpass', pin]
    else:
        return None
    options += ['-h', 'sha256', '-time', str(when)]
    test = env.get('KELVOR_SIGN_TEST') == '1'
    if env.get('KELVOR_SIGN_TIMESTAMP'):
        options += ['-ts', env['KELVOR_SIGN_TIMESTAMP']]
    elif env.get('KELVOR_SIGN_TSA_CERTS') and test:
        certs, key = need('KELVOR_SIGN_TSA_CERTS', 'KELVOR_SIGN_TSA_KEY')
        options += ['-TSA-certs', certs, '-TSA-key', key]
    elif not test:
        sys.exit('make_release: a release is signed with a time stamp from an RFC 3161 server: without one '
                 'its signatures stop verifying when the signing certificate expires. Give '
                 'KELVOR_SIGN_TIMESTAMP=<server address>' +
                 (' (osslsigncode\'s own time-stamp authority, KELVOR_SIGN_TSA_CERTS, is for tests only)'
                  if env.get('KELVOR_SIGN_TSA_CERTS') else '') +
                 ', or KELVOR_SIGN_TEST=1 if this build is a test.')
    return options


def sign(path, options):
    signed = path + '.signed'
    if os.path.exists(signed):
        os.remove(signed)
    r = subprocess.run(['osslsigncode', 'sign', *options, '-in', path, '-out', signed], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit('make_release: osslsigncode could not sign %s:\n%s' % (path, r.stdout + r.stderr))
    os.replace(signed, path)
    print('signed %s' % path)


def main():
    p = argparse.ArgumentParser()
    for name in ('--version', '--version-text', '--source', '--i686', '--x86_64', '--out'):
        p.add_argument(name, required=True)
    a = p.parse_args()
    options = signing_options(os.environ, build_time(a.source))
    exes = {'i686': a.i686, 'x86_64': a.x86_64}
    if options:
        for arch, exe in exes.items():
            exes[arch] = os.path.join(a.out, 'signed', arch, 'Kelvor.exe')
            os.makedirs(os.path.dirname(exes[arch]), exist_ok=True)
            shutil.copyfile(exe, exes[arch])
            sign(exes[arch], options)
    msis = []
    for arch, exe in (('x86', exes['i686']), ('x64', exes['x86_64'])):
        msis.append(os.path.join(a.out, 'Kelvor-%s-%s.msi' % (a.version_text, arch)))
        subprocess.run([sys.executable, os.path.join(HERE, 'make_msi.py'), '--version', a.version,
                        '--version-text', a.version_text, '--arch', arch, '--exe', exe, '--out', msis[-1]], check=True)
        if options:
            sign(msis[-1], options)
    subprocess.run([sys.executable, os.path.join(HERE, 'make_package.py'), '--version', a.version,
                    '--version-text', a.version_text, '--source', a.source,
                    '--i686', exes['i686'], '--x86_64', exes['x86_64'],
                    *[arg for msi in msis for arg in ('--msi', msi)],
                    '--out', os.path.join(a.out, 'Kelvor-%s.zip' % a.version_text)], check=True)


if __name__ == '__main__':
    main()
