"""Builds the extension tarnwick.bundle with CMake for the interpreter that runs pip.

The library, its HDF5, Blosc and libdeflate come from Debian's packages, found by the project's
CMakeLists.txt; this file only drives CMake and puts into the wheel the built module, the
command line (run by the console script tarnwick-bundle, tarnwick/_cli.py) and its man page.
The build folder is build-release/, which scripts/demo and scripts/install share
(scripts/build-release), when pip runs under Debian's /usr/bin/python3 or a virtual environment
made by it: the module built there is for that interpreter. Another interpreter (pyenv's,
conda's) gets a folder of its own, build-release-<its tag>-<a hash of its path>/, so that no
module built for one Python is ever taken for another. TARNWICK_BUILD_DIR chooses the folder,
such as an existing build/, which is then reused as it is configured; a folder configured for
another interpreter is refused. pip hides a build's output; the progress goes to the terminal
(/dev/tty) when there is one, and the whole output to BUILD/pip-build.log.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
DEBIAN_PYTHON = "/usr/bin/python3"


def interpreters():
    """The files this interpreter runs: itself and, in a virtual environment, the one it was made by."""
    return {os.path.realpath(sys.executable), os.path.realpath(getattr(sys, "_base_executable", sys.executable))}


def default_build():
    if os.path.realpath(DEBIAN_PYTHON) in interpreters():
        return HERE / "build-release"
    key = hashlib.sha1(os.path.realpath(getattr(sys, "_base_executable", sys.executable)).encode()).hexdigest()[:8]
    return HERE / f"build-release-{sys.implementation.cache_tag}-{key}"


BUILD = Path(os.environ.get("TARNWICK_BUILD_DIR") or default_build()).resolve()
TARGETS = ["tarnwick_python", "tarnwick-bundle", "tarnwick-bundle-docs"]


def require_wheel():
    """pip builds a wheel with the interpreter of the environment; an interpreter without the
    package wheel (pyenv's or conda's, first on the PATH when the environment was made) fails with
    setuptools' "invalid command 'bdist_wheel'", which names neither cause nor remedy."""
    if not {"bdist_wheel", "dist_info", "editable_wheel"} & set(sys.argv):  # the commands that need it
        return
    try:
        import wheel  # noqa: F401
    except ImportError:
        sys.exit(f"error: the interpreter {sys.executable} has no package 'wheel', needed to build tarnwick-bundle.\n"
                 "Make the environment with Debian's interpreter, which has it (python3-wheel):\n"
                 "  /usr/bin/python3 -m venv --system-site-packages v && "
                 "v/bin/pip install --no-build-isolation --no-index .")


def run_showing_progress(argv, log, env=None):
    """Runs a build step; its output goes to `log`, and CMake's "[ NN%]" lines to the terminal."""
    try:
        tty = open("/dev/tty", "w")
    except OSError:
        tty = None
    with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env) as step:
        for line in step.stdout:
            log.write(line)
            if tty is None:
                sys.stdout.write(line)
            elif line.startswith("["):
                tty.write(f"\r\033[Ktarnwick-bundle: building, {line[1:line.find(']')].strip()} (log: {log.name})")
                tty.flush()
    if tty is not None:
        tty.write("\r\033[K")
        tty.close()
    if step.returncode != 0:
        sys.exit(f"error: {' '.join(argv)} failed (exit {step.returncode}); the output is in {log.name}")


def version():
    text = (HERE / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\w+ VERSION ([\d.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = BUILD
        build.mkdir(parents=True, exist_ok=True)
        cache = build / "CMakeCache.txt"
        if cache.is_file():
            configured = re.search(r"^Python3_EXECUTABLE:\w+=(.*)$", cache.read_text(), re.MULTILINE)
            if not configured or os.path.realpath(configured.group(1)) not in interpreters():
                sys.exit(f"error: {build} builds the module for {configured.group(1) if configured else 'no Python'}, "
                         f"not for {sys.executable}; unset TARNWICK_BUILD_DIR or give another folder")
        with open(build / "pip-build.log", "w", encoding="utf-8") as log:
            # The shared folder keeps Debian's interpreter, which is the one running here; a
            # folder of another interpreter is made for it.
            python = DEBIAN_PYTHON if build == (HERE / "build-release").resolve() else sys.executable
            run_showing_progress(["bash", str(HERE / "scripts" / "build-release"), f"-DPython3_EXECUTABLE={python}",
                                  *TARGETS], log, env=dict(os.environ, BUILD_DIR=str(build)))
        built = build / "python" / "tarnwick" / f"bundle{sysconfig.get_config_var('EXT_SUFFIX')}"
        if not built.is_file():
            raise RuntimeError(f"the build left no {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        # The command line beside the module, run by the console script (tarnwick/_cli.py).
        program = target.parent / "bin" / "tarnwick-bundle"
        program.parent.mkdir(exist_ok=True)
        shutil.copy2(build / "tarnwick-bundle", program)


require_wheel()
# The man page lands in ENV/share/man/man1, where man finds it through ENV/bin on the PATH. It is
# made by the build above; setuptools takes data files by paths relative to this folder.
MAN_PAGE = os.path.relpath(BUILD / "share" / "tarnwick-bundle.1", HERE)
setup(version=version(), ext_modules=[Extension("tarnwick.bundle", sources=[])], cmdclass={"build_ext": CMakeBuild},
      data_files=[("share/man/man1", [MAN_PAGE])])
