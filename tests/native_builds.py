"""The native programs the tests run, built by CMake once per checkout and
kept between runs.

Two build directories, each in the system's temporary directory (one per
checkout) unless its environment variable names another:

- `native` (TARNWICK_NATIVE_BUILD_DIR): the core as the module has it
  (Release, the default C++ compiler) with the targets `core_tests` and
  `preprocessor_tests`;
- `replay` (TARNWICK_FUZZ_BUILD_DIR): the core with AddressSanitizer and
  UndefinedBehaviorSanitizer, unoptimised (it compiles in about half the
  time of -O1, and the replayed inputs are small), with the
  stand-alone replays of the fuzz targets and their planted variants. The
  compiler is CXX_FUZZ_STANDALONE when set, else clang++ when it links the
  sanitizers (it compiles them several times faster than g++), else g++;
  without sanitizer runtimes the replays are built without them.

conftest.py starts the builds that the collected tests need in the
background as soon as collection ends, and runs those tests last, so that
compiling overlaps the Python tests. A test asks for a build's directory
with `BUILDS[name].directory()`, which waits for it; a build that fails
fails the test with its output.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import threading

import pytest

from helpers import build_dir

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANITIZE_FLAGS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
                  "-fno-omit-frame-pointer"]


def find_tool(name: str, bin_dir: str) -> str | None:
    """The program `name` on the PATH, or the one of the PyPI package of that
    name, whose attribute `bin_dir` names the folder holding it."""
    found = shutil.which(name)
    if found:
        return found
    try:
        package = __import__(name)
    except ImportError:
        return None
    candidate = os.path.join(getattr(package, bin_dir, ""), name)
    return candidate if os.path.exists(candidate) else None


def build_environment() -> dict[str, str]:
    """The environment of the build steps and of programs that bring their
    own sanitizers: without the sanitizer runtimes that tools/sanitize.sh
    preloads into the interpreter."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def links_sanitizers(cxx: str) -> bool:
    with tempfile.TemporaryDirectory() as tmp:
        probe = os.path.join(tmp, "probe.cpp")
        with open(probe, "w") as f:
            f.write("int main() { return 0; }\n")
        proc = subprocess.run([cxx, *SANITIZE_FLAGS, probe, "-o", os.path.join(tmp, "probe")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=build_environment())
        return proc.returncode == 0


class Build:
    """One CMake build directory and the targets the tests need from it."""

    def __init__(self, name: str, env_var: str, prefix: str, targets: list[str]):
        self.name = name
        self.env_var = env_var
        self.prefix = prefix
        self.targets = targets
        self._thread: threading.Thread | None = None
        self._process: subprocess.Popen | None = None
        self._stopped = False
        self._outcome: tuple[str, str] | None = None  # ("ok", dir), ("skip", why) or ("fail", output)

    @property
    def path(self) -> str:
        return build_dir(self.env_var, self.prefix)

    def configure_args(self, first: bool) -> list[str] | str:
        """The CMake options of the build, or why it cannot be made here. The
        compiler and its flags are chosen when the directory is first
        configured (`first`); the cache keeps them."""
        raise NotImplementedError

    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name=f"build-{self.name}", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        """Ends a build still running (at the end of a test run that no longer needs it)."""
        self._stopped = True
        process = self._process
        if process is not None and process.poll() is None:
            os.killpg(process.pid, 9)
        if self._thread is not None:
            self._thread.join()

    def directory(self) -> str:
        """The build directory once every target is built; skips or fails the
        calling test when the build cannot be made."""
        self.start()
        assert self._thread is not None
        self._thread.join()
        assert self._outcome is not None
        kind, detail = self._outcome
        if kind == "skip":
            pytest.skip(detail)
        if kind == "fail":
            pytest.fail(detail, pytrace=False)
        return detail

    def _step(self, cmd: list[str]) -> str | None:
        """Runs one step; its output when it failed. Steps run at a lower
        priority, so that the tests running meanwhile keep their pace and the
        compilers take the time they leave."""
        if self._stopped:
            return "the build was stopped"
        nice = shutil.which("nice")
        self._process = subprocess.Popen(([nice, "-n", "10"] if nice else []) + cmd,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                         env=build_environment(), start_new_session=True)
        output, _ = self._process.communicate()
        if self._process.returncode != 0:
            return f"{' '.join(cmd)} failed ({self._process.returncode}):\n{output}"
        return None

    def _run(self) -> None:
        try:
            self._outcome = self._build()
        except Exception as e:  # noqa: BLE001 - reported to the test that waits
            self._outcome = ("fail", f"building {self.name}: {e!r}")

    def _build(self) -> tuple[str, str]:
        cmake = find_tool("cmake", "CMAKE_BIN_DIR")
        if cmake is None:
            return ("skip", "cmake is not installed")
        path = self.path
        first = not os.path.exists(os.path.join(path, "CMakeCache.txt"))
        args = self.configure_args(first)
        if isinstance(args, str):
            return ("skip", args)
        configure = [cmake, "-S", REPO, "-B", path, "-DTARNWICK_BUILD_MODULE=OFF", *args]
        if first:
            ninja = find_tool("ninja", "BIN_DIR")
            if ninja is not None:
                configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
        failure = self._step(configure) or self._step(
            [cmake, "--build", path, "--target", *self.targets, "-j", "2"])
        return ("fail", failure) if failure else ("ok", path)


class NativeBuild(Build):
    def configure_args(self, first):
        options = ["-DTARNWICK_BUILD_NATIVE_TESTS=ON", "-DTARNWICK_BUILD_PROFILE_DRIVER=ON"]
        if not first:
            return options
        for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
            if name and shutil.which(name):
                return options + ["-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_CXX_COMPILER={shutil.which(name)}"]
        return "no C++ compiler found (CXX, c++, g++ or clang++)"


class ReplayBuild(Build):
    def configure_args(self, first):
        options = ["-DTARNWICK_BUILD_FUZZ_REPLAYS=ON"]
        if not first:
            return options
        chosen = os.environ.get("CXX_FUZZ_STANDALONE")
        candidates = [chosen] if chosen else ["clang++", "g++"]
        found = [shutil.which(c) for c in candidates if shutil.which(c)]
        if not found:
            return f"no compiler for the fuzz replays ({', '.join(candidates)})"
        sanitized = next((c for c in found if links_sanitizers(c)), None)
        cxx = sanitized or found[0]
        # Line tables are all that the sanitizers' reports use, and much
        # quicker to make than full debug information.
        lines = "-gline-tables-only" if "clang" in os.path.basename(cxx) else "-g1"
        return options + ["-DCMAKE_BUILD_TYPE=None", f"-DCMAKE_CXX_FLAGS=-O0 {lines}",
                          f"-DTARNWICK_SANITIZE={'ON' if sanitized else 'OFF'}",
                          f"-DCMAKE_CXX_COMPILER={cxx}"]


BUILDS: dict[str, Build] = {
    "native": NativeBuild("native", "TARNWICK_NATIVE_BUILD_DIR", "tarnwick-native-tests",
                          ["core_tests", "preprocessor_tests", "profile_driver"]),
    "replay": ReplayBuild("replay", "TARNWICK_FUZZ_BUILD_DIR", "tarnwick-fuzz-replays",
                          [f"fuzz_{t}_{v}" for t in ("lexer", "parser") for v in ("replay", "planted")]
                          + ["fuzz_tree_replay", "fuzz_complete_replay", "fuzz_preprocessor_replay"]),
}

# The fixtures through which tests use each build; conftest.py reads them.
FIXTURES = {"core_tests_exe": "native", "preprocessor_tests_exe": "native", "drivers": "replay"}


def program(build: str, name: str) -> str:
    """The path of program `name` of build `build`, waiting for the build."""
    exe = os.path.join(BUILDS[build].directory(), name + (".exe" if os.name == "nt" else ""))
    assert os.path.exists(exe), f"the build did not produce {exe}"
    return exe
