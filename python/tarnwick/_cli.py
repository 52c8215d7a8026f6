"""The command line tarnwick-bundle of a pip install: the compiled program shipped in the package.

pip makes console scripts of Python functions only; this one hands the process over to the
program (the same process id, standard streams, signals and exit status).
"""
import os
import sys


def main():
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "tarnwick-bundle")
    try:
        os.execv(program, [program, *sys.argv[1:]])
    except OSError as error:
        sys.exit(f"tarnwick-bundle: cannot run {program}: {error.strerror} (reinstall the package tarnwick-bundle)")
