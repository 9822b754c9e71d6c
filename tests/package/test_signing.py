"""A signed release, made the way a release manager makes one, with a throwaway CA and code-signing
key made here: from a PKCS#12 file and from a PKCS#11 token (SoftHSM), with and without a time
stamp. Leaves the signed release in KELVOR_SIGNING_DIR/release for the end-to-end cases."""
import os
import shutil
import subprocess
import sys
import unittest
import zipfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..', '..')
BUILD = os.environ.get('KELVOR_BUILD', os.path.join(ROOT, 'build'))
WORK = os.environ.get('KELVOR_SIGNING_DIR', os.path.join(BUILD, 'signing'))
VERSION, TEXT = os.environ.get('KELVOR_VERSION', '1.2.1.8'), os.environ.get('KELVOR_VERSION_TEXT', '1.2.1h')
SIGNED = ['i686/Kelvor.exe', 'x86_64/Kelvor.exe', 'Kelvor-%s-x86.msi' % TEXT, 'Kelvor-%s-x64.msi' % TEXT]
PASSWORD, PIN = 'throwaway pass phrase', '246810'
EXTENSIONS = '''[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[code]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[tsa]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
'''


def path(*parts):
    return os.path.join(WORK, *parts)


def run(*args, env=None):
    return subprocess.run(args, capture_output=True, text=True, env=env, check=True).stdout


def release(name, **key):
    """Builds the release from the built executables into WORK/name with the given key; returns
    what make_release printed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith('KELVOR_SIGN')}
    env.update(key, SOFTHSM2_CONF=path('softhsm2.conf'))
    shutil.rmtree(path(name), ignore_errors=True)
    os.makedirs(path(name))
    return run(sys.executable, os.path.join(ROOT, 'scripts', 'make_release.py'), '--version', VERSION,
               '--version-text', TEXT, '--source', ROOT, '--i686', os.path.join(BUILD, 'i686', 'Kelvor.exe'),
               '--x86_64', os.path.join(BUILD, 'x86_64', 'Kelvor.exe'), '--out', path(name), env=env)


def signed_file(name, entry):
    return path(name, 'signed', entry) if entry.endswith('.exe') else path(name, entry)


def verify(file, *extra):
    return subprocess.run(['osslsigncode', 'verify', '-CAfile', path('ca.pem'), *extra, '-in', file],
                          capture_output=True, text=True)


def read(file):
    with open(file, 'rb') as f:
        return f.read()


class SignedRelease(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(path('tokens'))
        with open(path('ext.cnf'), 'w') as f:
            f.write(EXTENSIONS)
        openssl = ['openssl', 'req', '-new', '-newkey', 'rsa:2048', '-nodes', '-config', path('ext.cnf')]
        run(*openssl, '-x509', '-keyout', path('ca.key'), '-out', path('ca.pem'), '-subj', '/CN=Kelvor test CA',
            '-days', '2', '-extensions', 'ca')
        for name in ('code', 'tsa'):
            run(*openssl, '-keyout', path(name + '.key'), '-out', path(name + '.csr'), '-subj', '/CN=Kelvor test ' + name)
            run('openssl', 'x509', '-req', '-in', path(name + '.csr'), '-CA', path('ca.pem'), '-CAkey', path('ca.key'),
                '-CAcreateserial', '-days', '2', '-extfile', path('ext.cnf'), '-extensions', name,
                '-out', path(name + '.pem'))
            with open(path(name + '-chain.pem'), 'w') as f:
                f.write(open(path(name + '.pem')).read() + open(path('ca.pem')).read())
        for name, secret in (('password', PASSWORD), ('pin', PIN)):
            with open(path(name), 'w') as f:
                f.write(secret)
        run('openssl', 'pkcs12', '-export', '-inkey', path('code.key'), '-in', path('code-chain.pem'),
            '-out', path('code.p12'), '-passout', 'file:' + path('password'))
        # The same key on a software token, as a hardware token would hold it.
        with open(path('softhsm2.conf'), 'w') as f:
            f.write('directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' % path('tokens'))
        token_env = dict(os.environ, SOFTHSM2_CONF=path('softhsm2.conf'))
        run('softhsm2-util', '--init-token', '--free', '--label', 'kelvor', '--so-pin', '13579', '--pin', PIN,
            env=token_env)
        run('openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', path('code.key'), '-out', path('code.p8'))
        run('softhsm2-util', '--import', path('code.p8'), '--token', 'kelvor', '--label', 'signing', '--id', '01',
            '--pin', PIN, env=token_env)
        os.remove(path('code.p8'))
        # Signed as a test: no RFC 3161 server here (the stamped one uses osslsigncode's own authority).
        p12 = dict(KELVOR_SIGN_PKCS12=path('code.p12'), KELVOR_SIGN_PASSWORD_FILE=path('password'), KELVOR_SIGN_TEST='1')
        cls.printed = release('release', **p12) + release('again', **p12)
        cls.printed += release('token', KELVOR_SIGN_KEY='pkcs11:token=kelvor;object=signing;type=private',
                               KELVOR_SIGN_CERT=path('code-chain.pem'), KELVOR_SIGN_PIN_FILE=path('pin'),
                               KELVOR_SIGN_PKCS11_MODULE='/usr/lib/softhsm/libsofthsm2.so', KELVOR_SIGN_TEST='1')
        release('stamped', KELVOR_SIGN_TSA_CERTS=path('tsa-chain.pem'), KELVOR_SIGN_TSA_KEY=path('tsa.key'), **p12)
        release('unsigned')

    def test_every_file_is_signed_the_same_from_either_key_and_the_zip_holds_them(self):
        for entry in SIGNED:
            with self.subTest(entry=entry):
                signed = signed_file('release', entry)
                r = verify(signed)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertRegex(r.stdout, r'Message digest algorithm *: SHA256')
                # Same inputs, key and signing time: the same bytes, from the file or the token.
                self.assertEqual(read(signed), read(signed_file('again', entry)))
                self.assertEqual(read(signed), read(signed_file('token', entry)))
        with zipfile.ZipFile(path('release', 'Kelvor-%s.zip' % TEXT)) as z:
            for entry in SIGNED:
                self.assertEqual(z.read(entry), read(signed_file('release', entry)), entry)
        for secret in (PASSWORD, PIN):
            self.assertNotIn(secret, self.printed)
        # Without a key, the release is the unsigned one the build makes.
        for entry in SIGNED[2:] + ['Kelvor-%s.zip' % TEXT]:
            self.assertEqual(read(path('unsigned', entry)), read(os.path.join(BUILD, entry)), entry)

    def test_signed_executables_keep_valid_headers_and_pass_the_static_checks(self):
        for arch in ('i686', 'x86_64'):
            with self.subTest(arch=arch):
                signed = signed_file('release', arch + '/Kelvor.exe')
                data = read(signed)
                pe = pefile.PE(data=data, fast_load=True)
                self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
                # The certificate table: a file offset, at the end.
                table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']]
                self.assertEqual((table.VirtualAddress, table.VirtualAddress + table.Size),
                                 (len(read(os.path.join(BUILD, arch, 'Kelvor.exe'))), len(data)))
                r = subprocess.run([sys.executable, '-m', 'unittest', 'test_binary'], capture_output=True, text=True,
                                   cwd=os.path.join(ROOT, 'tests', 'static'), env=dict(os.environ, KELVOR_EXE=signed))
                self.assertEqual(r.returncode, 0, r.stderr[-2000:])
                # One byte changed inside a section breaks the signature.
                changed = bytearray(data)
                changed[pe.sections[0].PointerToRawData + 16] ^= 1
                with open(path('changed.exe'), 'wb') as f:
                    f.write(changed)
                self.assertNotEqual(verify(path('changed.exe')).returncode, 0, pe.sections[0].Name)

    def test_a_release_is_not_signed_without_a_real_time_stamp(self):
        p12 = dict(KELVOR_SIGN_PKCS12=path('code.p12'), KELVOR_SIGN_PASSWORD_FILE=path('password'))
        own = dict(KELVOR_SIGN_TSA_CERTS=path('tsa-chain.pem'), KELVOR_SIGN_TSA_KEY=path('tsa.key'))
        for name, key in (('no stamp', p12), ("osslsigncode's stamp", dict(p12, **own))):
            with self.subTest(name):
                with self.assertRaises(subprocess.CalledProcessError) as refused:
                    release('refused', **key)
                self.assertIn('KELVOR_SIGN_TIMESTAMP', refused.exception.stderr)
                self.assertIn('KELVOR_SIGN_TEST=1', refused.exception.stderr)
                self.assertFalse(os.path.exists(path('refused', 'signed')))

    def test_time_stamp_is_carried(self):
        for entry in (SIGNED[0], SIGNED[3]):
            with self.subTest(entry=entry):
                r = verify(signed_file('stamped', entry), '-TSA-CAfile', path('ca.pem'))
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertIn('Timestamp Server Signature verification: ok', r.stdout)
                self.assertIn('Timestamp time:', r.stdout)


if __name__ == '__main__':
    unittest.main()
