#!/usr/bin/env python3
"""Checks of what ships: the manual page, the Debian package and the
hardening of the built binary.  $LISTENER names the binary, $LISTENER_BUILD
its build tree and $LISTENER_VERSION the version the build gives it."""
import email.utils
import gzip
import os
import re
import subprocess
import tempfile
import time
import unittest

LISTENER = os.environ["LISTENER"]
BUILD = os.environ["LISTENER_BUILD"]
VERSION = os.environ["LISTENER_VERSION"]


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def package(into, source_date_epoch=None, umask=0o002):
    """Builds the Debian package into the folder and returns its path; the
    time it carries is the build's own unless SOURCE_DATE_EPOCH is given,
    whatever the caller's environment. The umask is an ordinary user's on
    Debian 13, which lets the group write, unless another is given."""
    env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
    if source_date_epoch is not None:
        env["SOURCE_DATE_EPOCH"] = source_date_epoch
    subprocess.run(["cpack", "-G", "DEB", "-B", into, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                   env=env, capture_output=True, check=True, preexec_fn=lambda: os.umask(umask))
    return os.path.join(into, f"listener_{VERSION}_amd64.deb")


def dates(deb):
    """The times of the files in the package, to the minute, in UTC."""
    listing = subprocess.run(["dpkg-deb", "-c", deb], env=dict(os.environ, TZ="UTC"),
                             capture_output=True, text=True, check=True).stdout.splitlines()
    return {" ".join(line.split()[3:5]) for line in listing}


class ManualPage(unittest.TestCase):
    def test_renders_without_warnings_and_carries_the_version(self):
        page = os.path.join(BUILD, "listener.1")
        proc = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        with open(page) as f:
            self.assertIn(f'"listener {VERSION}"', f.readline())


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.deb = package(cls.dir.name)
        cls.root = os.path.join(cls.dir.name, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_metadata_names_the_version_and_the_libpcap_package_the_binary_links(self):
        fields = dict(re.findall(r"^(\S+): (.*)$", run("dpkg-deb", "-f", self.deb), re.M))
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]),
                         ("listener", VERSION, "amd64"))
        # The library's package is named differently from one release to the
        # next (libpcap0.8, libpcap0.8t64): ask dpkg which one owns it.
        library = re.search(r"\slibpcap\S* => (\S+)", run("ldd", LISTENER))[1]
        owner = run("dpkg-query", "-S", os.path.realpath(library)).split(":")[0]
        self.assertRegex(fields["Depends"], rf"(^|, ){re.escape(owner)} \(>= [\d.]+\)")

    def test_holds_the_binary_the_manual_page_and_the_documents(self):
        listing = run("dpkg-deb", "-c", self.deb).splitlines()
        files = sorted(line.split()[-1] for line in listing if line.startswith("-"))
        self.assertEqual(files, ["./usr/bin/listener", "./usr/share/doc/listener/changelog.gz",
                                 "./usr/share/doc/listener/copyright", "./usr/share/man/man1/listener.1.gz"])

    def test_changelog_ends_with_this_version(self):
        with gzip.open(os.path.join(self.root, "usr/share/doc/listener/changelog.gz"), "rt") as f:
            self.assertEqual(f.readline().split()[:2], ["listener", f"({VERSION})"])

    def test_built_again_it_is_the_same_to_the_byte_and_dated_by_the_changelog_or_the_packager(self):
        # A second later, so that anything stamped with the time of
        # packaging would differ.
        time.sleep(1.1)
        with tempfile.TemporaryDirectory() as again, open(self.deb, "rb") as first:
            with open(package(again), "rb") as second:
                self.assertEqual(first.read(), second.read())
        # Built with root's umask, or one that lets no one else in, it holds
        # the same: dpkg reads no mode of the archive's members, which CPack
        # takes from the files it writes.
        for umask in (0o022, 0o077):
            with self.subTest(umask=oct(umask)), tempfile.TemporaryDirectory() as other:
                deb = package(other, umask=umask)
                for part in ("--fsys-tarfile", "--ctrl-tarfile"):
                    self.assertEqual(subprocess.run(["dpkg-deb", part, deb], capture_output=True, check=True).stdout,
                                     subprocess.run(["dpkg-deb", part, self.deb], capture_output=True,
                                                    check=True).stdout)
        with gzip.open(os.path.join(self.root, "usr/share/doc/listener/changelog.gz"), "rt") as f:
            latest = next(line for line in f if line.startswith(" -- ")).split(">  ", 1)[1]
        dated = email.utils.parsedate_to_datetime(latest).strftime("%Y-%m-%d %H:%M")
        self.assertEqual(dates(self.deb), {dated})
        with tempfile.TemporaryDirectory() as chosen:
            self.assertEqual(dates(package(chosen, source_date_epoch="86400")), {"1970-01-02 00:00"})

    def test_lintian_finds_no_error_or_warning(self):
        proc = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True)
        self.assertEqual((proc.returncode, [tag for tag in proc.stdout.splitlines() if tag[:2] in ("E:", "W:")]),
                         (0, []))

    def test_binary_unpacked_from_it_runs(self):
        binary = os.path.join(self.root, "usr/bin/listener")
        proc = subprocess.run([binary], capture_output=True)
        self.assertEqual((proc.stdout, proc.stderr, proc.returncode),
                         (b"usage: %s capture-device\n" % binary.encode(), b"", 1))


@unittest.skipUnless(os.geteuid() == 0 and open("/proc/self/uid_map").read().split() == ["0", "0", "4294967295"],
                     "installing a Debian package needs real root")
class Install(unittest.TestCase):
    """make install and make uninstall, beside the Debian package installed,
    in a mount namespace where /usr and /var are overlays of the test's own,
    so that nothing of the machine's changes."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.deb = package(cls.dir.name)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()
        subprocess.run(["rm", "-rf", os.path.join(BUILD, "installed")], check=True)

    def run_beside_the_package(self, script):
        """Runs the bash script with the package installed, where make runs
        in the source tree on this build and $stage is a folder of the
        test's own; returns what it printed, and its status."""
        top = tempfile.mkdtemp(dir=self.dir.name)
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        setup = f"""set -e
            for d in usr var; do
              mkdir -p {top}/upper/$d {top}/work/$d
              mount -t overlay overlay -o lowerdir=/$d,upperdir={top}/upper/$d,workdir={top}/work/$d /$d
            done
            dpkg -i {self.deb} >/dev/null
            make() {{ env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -s -C {source} BUILD={BUILD} "$@"; }}
            stage={top}/stage deb={self.deb}
            set +e
            """
        proc = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash", "-c", setup + script],
                              capture_output=True, text=True)
        return proc.stdout + proc.stderr, proc.returncode

    def test_uninstall_after_a_staged_install_touches_nothing_live(self):
        out, status = self.run_beside_the_package("""
            make install DESTDIR=$stage PREFIX=/usr >/dev/null
            make uninstall 2>&1 | head -n 1
            dpkg -V listener && echo package whole
            make uninstall DESTDIR=$stage >/dev/null && find $stage -type f
            """)
        self.assertEqual((out, status), (f"make uninstall: nothing installed from {BUILD}\npackage whole\n", 0))

    def test_install_replaces_nothing_a_debian_package_owns_and_uninstall_removes_none(self):
        # An install over the package stops, saying which files are the
        # package's; one into /usr/local goes on, and uninstall removes it
        # alone. Installed by make before the package came, those files
        # are left by uninstall too.
        out, status = self.run_beside_the_package("""
            make install PREFIX=/usr 2>&1 >/dev/null | grep '^make install:' | sort
            dpkg -V listener && echo package whole
            make install PREFIX=/usr/local >/dev/null
            make uninstall | sort
            ls -d /usr/local/share/doc/listener 2>&1 | sed 's/.*: //'
            dpkg -r listener >/dev/null && make install PREFIX=/usr >/dev/null && dpkg -i $deb >/dev/null
            make uninstall | sort
            dpkg -V listener && echo package whole
            """)
        owned = ["/usr/bin/listener", "/usr/share/doc/listener/changelog.gz", "/usr/share/doc/listener/copyright",
                 "/usr/share/man/man1/listener.1.gz"]
        local = ["/usr/local/bin/listener", "/usr/local/share/doc/listener/changelog.gz",
                 "/usr/local/share/doc/listener/copyright", "/usr/local/share/man/man1/listener.1.gz"]
        refused = [f"make install: {f} belongs to the Debian package listener: not replaced" for f in owned]
        removed = [f"removed '{f}'" for f in local]
        left = [f"make uninstall: {f} belongs to the Debian package listener: left in place" for f in owned]
        self.assertEqual((out, status), ("\n".join(refused + ["package whole"] + removed + ["No such file or directory"]
                                                   + left + ["package whole"]) + "\n", 0))


class Hardening(unittest.TestCase):
    def test_binary_is_pie_with_full_relro_stack_protector_and_fortify(self):
        headers = run("readelf", "-hldW", LISTENER)
        symbols = run("readelf", "--dyn-syms", "-W", LISTENER)
        found = {
            "PIE": bool(re.search(r"Type:\s+DYN .*\(FLAGS_1\)\s+Flags:.*\bPIE\b", headers, re.S)),
            "full RELRO": "GNU_RELRO" in headers
                          and bool(re.search(r"\(FLAGS\)\s+BIND_NOW|\(FLAGS_1\)\s+Flags:.*\bNOW\b", headers)),
            "stack protector": " __stack_chk_fail@" in symbols,
            # Fortified, calls such as fprintf become checked ones (__fprintf_chk).
            "fortify": bool(re.search(r" __\w+_chk@", symbols)),
        }
        self.assertEqual(found, dict.fromkeys(found, True))

if __name__ == "__main__":
    unittest.main(verbosity=2)
