#!/usr/bin/python3
"""The Debian packages as a user gets them: built by CPack into a scratch
folder, every file where Debian puts it, lintian without errors, unpacked
into a throwaway root where the tools run and find the installed driver, the
header and pkg-config file build a host, and the service unit verifies.

    package_test.py BUILD_DIR SOURCE_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/linux")
SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
    VERSION = re.search(r"project\(derevu1 VERSION (\S+)", f.read()).group(1)
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True, text=True,
                           check=True).stdout.strip()
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True, check=True).stdout.strip()
LIB = "usr/lib/" + MULTIARCH

# Every file of every package: path -> kind ("x" executable, "f" plain file,
# "-> TARGET" symbolic link).
DOC = {"usr/share/doc/%s/copyright": "f", "usr/share/doc/%s/changelog.gz": "f"}
EXPECTED = {
    "libderevu1-1": {
        LIB + "/libderevu1.so.1.0.0": "f",
        LIB + "/libderevu1.so.1": "-> libderevu1.so.1.0.0",
        LIB + "/libkalvro.so.1.0.0": "f",
        LIB + "/libkalvro.so.1": "-> libkalvro.so.1.0.0",
    },
    "libderevu1-dev": {
        "usr/include/derevu1/host_interface.h": "f",
        "usr/include/derevu1/host_api/records.h": "f",
        LIB + "/libderevu1.so": "-> libderevu1.so.1",
        LIB + "/libkalvro.so": "-> libkalvro.so.1",
        LIB + "/pkgconfig/derevu1.pc": "f",
    },
    "derevu1-tools": {
        "usr/bin/kelhost": "x",
        "usr/bin/kelgate": "x",
        "usr/bin/plcsim": "x",
        "usr/share/man/man1/kelhost.1.gz": "f",
        "usr/share/man/man1/kelgate.1.gz": "f",
        "usr/share/man/man1/plcsim.1.gz": "f",
        "lib/systemd/system/kelgate@.service": "f",
    },
}
for package, files in EXPECTED.items():
    files.update({path % package: kind for path, kind in DOC.items()})
if os.path.exists(os.path.join(SOURCE, "docs/kelgate.example.toml")):
    EXPECTED["derevu1-tools"]["usr/share/doc/derevu1-tools/examples/kelgate.example.toml"] = "f"

NETWORK = "WAIT50\n01PRESS1\n02OVEN*\n"

work = None
root = None


def deb(package):
    return os.path.join(work, "%s_%s_%s.deb" % (package, VERSION, ARCH))


def setUpModule():
    global work, root
    work = tempfile.mkdtemp(prefix="kel-package-test.")
    root = os.path.join(work, "root")
    built = subprocess.run(["cpack", "-G", "DEB", "-B", work, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                           cwd=BUILD, capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    for package in EXPECTED:
        subprocess.run(["dpkg-deb", "-x", deb(package), root], check=True)


def tearDownModule():
    shutil.rmtree(work, ignore_errors=True)


def in_root(*command, cwd=None, extra_env=None):
    """Runs a program of the root with the root's libraries only."""
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(root, LIB))
    env.update(extra_env or {})
    return subprocess.run(command, cwd=cwd or work, env=env, capture_output=True, text=True, timeout=60)


class Contents(unittest.TestCase):
    def test_every_file_is_where_it_belongs(self):
        for package, expected in EXPECTED.items():
            with self.subTest(package=package):
                listing = subprocess.run(["dpkg-deb", "-c", deb(package)], capture_output=True, text=True,
                                         check=True).stdout
                found = {}
                for line in listing.splitlines():
                    fields = line.split()
                    mode, owner, path = fields[0], fields[1], fields[5]
                    self.assertEqual(owner, "root/root", line)
                    path = path[2:]  # "./"
                    if mode.startswith("d"):
                        self.assertEqual(mode, "drwxr-xr-x", line)
                        continue
                    if mode.startswith("l"):
                        found[path] = "-> " + fields[7]
                    else:
                        self.assertIn(mode, ("-rwxr-xr-x", "-rw-r--r--"), line)
                        found[path] = "x" if mode == "-rwxr-xr-x" else "f"
                self.assertEqual(found, expected)

    def test_control_fields(self):
        exact = "libderevu1-1 (= %s)" % VERSION
        for package, section, needs in (("libderevu1-1", "libs", []),
                                        ("libderevu1-dev", "libdevel", [exact]),
                                        ("derevu1-tools", "net", [exact, "libmodbus5", "libsystemd0"])):
            with self.subTest(package=package):
                fields = subprocess.run(["dpkg-deb", "-f", deb(package)], capture_output=True, text=True,
                                        check=True).stdout
                self.assertIn("Package: %s\n" % package, fields)
                self.assertIn("Version: %s\n" % VERSION, fields)
                self.assertIn("Section: %s\n" % section, fields)
                depends = re.search(r"^Depends: (.*)$", fields, re.M)
                for need in needs:
                    self.assertIn(need, depends.group(1))
        control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", deb("libderevu1-1")], capture_output=True,
                                 check=True).stdout
        listing = subprocess.run(["tar", "-t"], input=control, capture_output=True, check=True).stdout.decode()
        self.assertIn("./shlibs", listing)
        self.assertIn("./triggers", listing)

    def test_manual_pages_are_roff_with_their_sections(self):
        for tool in ("kelhost", "kelgate", "plcsim"):
            with self.subTest(tool=tool):
                page = subprocess.run(["gzip", "-dc", os.path.join(root, "usr/share/man/man1/%s.1.gz" % tool)],
                                      capture_output=True, text=True, check=True).stdout
                self.assertIn('.TH "%s" "1"' % tool.upper(), page)
                for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SEE ALSO"):
                    self.assertIn('.SH %s' % section, page)
                self.assertIn("\n%s - " % tool, page)

    def test_libraries_carry_versioned_sonames_and_no_search_path(self):
        for path, soname in ((LIB + "/libderevu1.so.1.0.0", "libderevu1.so.1"),
                             (LIB + "/libkalvro.so.1.0.0", "libkalvro.so.1"),
                             ("usr/bin/kelhost", None), ("usr/bin/kelgate", None)):
            with self.subTest(path=path):
                dynamic = subprocess.run(["readelf", "-d", os.path.join(root, path)], capture_output=True,
                                         text=True, check=True).stdout
                self.assertNotIn("RPATH", dynamic)
                self.assertNotIn("RUNPATH", dynamic)
                if soname:
                    self.assertIn("Library soname: [%s]" % soname, dynamic)
                else:
                    self.assertIn("Shared library: [libkalvro.so.1]", dynamic)

    def test_lintian_reports_no_error(self):
        result = subprocess.run(["lintian", "--tag-display-limit", "0"] + [deb(p) for p in EXPECTED],
                                capture_output=True, text=True, timeout=300)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], result.stdout)


class InstalledTools(unittest.TestCase):
    def test_help_of_every_tool(self):
        for tool, first in (("kelhost", "usage: kelhost"), ("kelgate", "usage: kelgate"),
                            ("plcsim", "Usage: plcsim")):
            with self.subTest(tool=tool):
                result = in_root(os.path.join(root, "usr/bin", tool), "--help")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith(first), result.stdout[:200])

    def test_kelhost_finds_the_installed_driver_and_its_host_library(self):
        folder = os.path.join(work, "board")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "kelG101.int"), "w") as f:
            f.write(NETWORK)
        kelhost = os.path.join(root, "usr/bin/kelhost")
        result = in_root(kelhost, "--board", "1", "--dir", folder, "check")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # The driver's message reaches kelhost's sink only when the driver
        # found the host library that kelhost itself uses.
        self.assertIn("driver messages:\n  [32] KelG1: Attach response Wait Time is 500 mSec\n", result.stdout)
        self.assertIn("accepted: 2 stations", result.stdout)

        # Without the installed driver nothing else is found in its place.
        driver = os.path.join(root, LIB, "libderevu1.so.1.0.0")
        os.rename(driver, driver + ".away")
        try:
            result = in_root(kelhost, "--board", "1", "--dir", folder, "check")
        finally:
            os.rename(driver + ".away", driver)
        self.assertEqual(result.returncode, 2)
        self.assertIn("cannot load libderevu1.so.1", result.stdout + result.stderr)

    def test_header_and_pkg_config_build_a_host(self):
        program = os.path.join(work, "host.cpp")
        with open(program, "w") as f:
            f.write('#include <cstdio>\n#include <host_interface.h>\n'
                    'int main() {\n'
                    '  DriverInfo info{};\n'
                    '  KelRequest request{nullptr, kRequestGetDriverInfo, 0, 0, &info};\n'
                    '  if (KelMain(&request) != 0) return 1;\n'
                    '  std::printf("%d\\n", static_cast<int>(info.contextSize));\n'
                    '  return 0;\n'
                    '}\n')
        env = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=root, PKG_CONFIG_LIBDIR=os.path.join(root, LIB, "pkgconfig"))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "derevu1"], env=env, capture_output=True,
                               text=True, check=True).stdout.split()
        self.assertIn("-I%s/usr/include/derevu1" % root, flags)
        driver = subprocess.run(["pkg-config", "--variable=driver", "derevu1"], env=env, capture_output=True,
                                text=True, check=True).stdout.strip()
        # pkgconf puts the sysroot before the variable's path.
        self.assertEqual(driver[len(root):] if driver.startswith(root) else driver, "/%s/libderevu1.so.1" % LIB)
        binary = os.path.join(work, "host")
        subprocess.run(["g++", "-std=c++20", program, "-o", binary] + flags, check=True)
        result = in_root(binary)
        self.assertEqual((result.returncode, result.stdout), (0, "1300\n"), result.stderr)


class ServiceUnit(unittest.TestCase):
    def unit(self):
        with open(os.path.join(root, "lib/systemd/system/kelgate@.service")) as f:
            return f.read()

    def test_unit_runs_the_instance_config_with_few_rights(self):
        unit = self.unit()
        for line in ("Type=notify", "ExecStart=/usr/bin/kelgate --config /etc/kelgate/%i.toml",
                     "Restart=on-failure", "DynamicUser=yes", "SupplementaryGroups=dialout",
                     "CapabilityBoundingSet=", "NoNewPrivileges=yes", "ProtectSystem=strict", "ProtectHome=yes",
                     "PrivateTmp=yes", "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "DevicePolicy=closed",
                     "DeviceAllow=char-ttyS rw", "DeviceAllow=char-ttyUSB rw", "DeviceAllow=char-ttyACM rw",
                     "SystemCallFilter=@system-service"):
            with self.subTest(line=line):
                self.assertIn("\n" + line + "\n", unit)

    def test_systemd_analyze_verifies_it_and_rates_it_ok(self):
        # verify checks that the program exists: the unit is checked as
        # installed, with its program taken from the throwaway root.
        folder = os.path.join(work, "units")
        os.makedirs(folder, exist_ok=True)
        unit = os.path.join(folder, "kelgate@.service")
        with open(unit, "w") as f:
            f.write(self.unit().replace("ExecStart=/usr/bin/kelgate", "ExecStart=%s/usr/bin/kelgate" % root))
        env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"))
        man = "--man=yes" if shutil.which("man") else "--man=no"
        result = subprocess.run(["systemd-analyze", "verify", man, unit], env=env, capture_output=True, text=True)
        # verify exits 0 even after a line it could not parse; any output is a fault.
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

        result = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit],
                                capture_output=True, text=True)
        rating = re.search(r"Overall exposure level for \S+: (\d+\.\d) (\w+)", result.stdout)
        self.assertIsNotNone(rating, result.stdout + result.stderr)
        self.assertIn(rating.group(2), ("SAFE", "OK"), result.stdout)
        with open(os.path.join(SOURCE, "README.md")) as f:
            recorded = "exposure level %s %s" % (rating.group(1), rating.group(2)) in f.read()
        self.assertTrue(recorded, "the README does not record the rating " + rating.group(0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
