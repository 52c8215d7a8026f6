"""Loads a pickle with CPython's pickle.load and prints its rendering (render.py).

usage: render_pickle.py FILE
"""
import pickle
import sys

from render import render

with open(sys.argv[1], "rb") as f:
    print(render(pickle.load(f)), end="")
