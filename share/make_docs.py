#!/usr/bin/python3
"""Writes the man page and the bash completion of tarnwick-bundle from the program's own help.

Both are made from what the built program prints for --help (of itself and of every command),
so they list exactly the commands, options and category words that it takes and never go stale:
the build runs this after every change of the program.

Usage: make_docs.py PROGRAM --man FILE --completion FILE
The man page needs help2man (Debian package help2man).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

SECTION = re.compile(r"^(\w[\w ]*):$")
OPTION = re.compile(r"^\s{2}(-[^\s]+)")
ENTRY = re.compile(r"^\s{2}(\S+)")
CATEGORY_WORDS = re.compile(r"category words: ([a-z, ]+)")


def help_text(program, words):
    return subprocess.run([program, *words, "--help"], check=True, capture_output=True, text=True).stdout


def parse(text):
    """The help's sections: {"Options": [first column...], "Subcommands": [...], ...} and its words."""
    sections, current = {}, None
    for line in text.splitlines():
        head = SECTION.match(line)
        if head:
            current = sections.setdefault(head.group(1), [])
            continue
        if current is None:
            continue
        match = OPTION.match(line) or ENTRY.match(line)
        if match:
            current.append(match.group(1))
    return sections


def commands(program, words=()):
    """(command words, help text, options, subcommands, category words) for the program and
    every command below it, depth first."""
    text = help_text(program, list(words))
    sections = parse(text)
    options = sorted({name for entry in sections.get("Options", []) if entry.startswith("-")
                      for name in entry.split(",")})
    subs = [s for s in sections.get("Subcommands", []) if not s.startswith("-")]
    categories = sorted({w.strip() for found in CATEGORY_WORDS.findall(text) for w in found.split(",") if w.strip()})
    result = [(tuple(words), text, options, subs, categories)]
    for sub in subs:
        result += commands(program, (*words, sub))
    return result


def completion(tree):
    cases = []
    for words, _, options, subs, categories in tree:
        key = " ".join(words)
        candidates = " ".join(options + subs + categories)
        cases.append(f'        "{key}") candidates="{candidates}" ;;')
    return f"""# bash completion of tarnwick-bundle: commands, options and category words.
# Made from the program's own --help by make_docs.py; do not edit.
_tarnwick_bundle() {{
    local current="${{COMP_WORDS[COMP_CWORD]}}" path="" word i candidates=""
    # The command path: the words so far that name a command (options and their values skipped).
    for ((i = 1; i < COMP_CWORD; i++)); do
        word="${{COMP_WORDS[i]}}"
        case "$path${{path:+ }}$word" in
{chr(10).join(f'            "{" ".join(w)}") path="{" ".join(w)}" ;;' for w, *_ in tree if w)}
        esac
    done
    case "$path" in
{chr(10).join(cases)}
    esac
    # Option values and folders: offer files as well, unless an option is being typed.
    if [[ "$current" == -* ]]; then
        COMPREPLY=($(compgen -W "$candidates" -- "$current"))
    else
        COMPREPLY=($(compgen -W "$candidates" -- "$current") $(compgen -f -- "$current"))
    fi
}}
complete -o filenames -F _tarnwick_bundle tarnwick-bundle
"""


def man_include(tree):
    """help2man's extra sections: every command's help as it prints it."""
    out = ["[COMMANDS]"]
    for words, text, _, _, _ in tree[1:]:
        out.append(f".SS {' '.join(words)}")
        out.append(".nf")
        out += [line.replace("\\", "\\e").replace("-", "\\-") if not line.startswith(".") else "\\&" + line
                for line in text.rstrip().splitlines()]
        out.append(".fi")
    out += ["[FILES]", "Store files: ROOT/bundle/h5/{equities,future,option}/ID.h5 (minute bars),",
            "ROOT/bundle/ticks/ID.h5 (ticks).", "[SEE ALSO]", "The Python module tarnwick.bundle: "
            "python3 \\-c 'import tarnwick.bundle as tb; help(tb)'."]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--man")
    parser.add_argument("--completion")
    args = parser.parse_args()
    tree = commands(args.program)
    if args.completion:
        with open(args.completion, "w", encoding="utf-8") as f:
            f.write(completion(tree))
    if args.man:
        with tempfile.NamedTemporaryFile("w", suffix=".h2m", encoding="utf-8", delete=False) as include:
            include.write(man_include(tree))
        try:
            subprocess.run(["help2man", "--no-info", "--section=1", f"--include={include.name}",
                            "--name=keeps the minute-bar and tick store files of a market-data bundle",
                            f"--output={args.man}", args.program], check=True)
        finally:
            os.unlink(include.name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
