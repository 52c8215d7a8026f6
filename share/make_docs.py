#!/usr/bin/python3
"""Writes the man page and the bash completion of tarnwick-bundle from the program's own help.

Both are made from what the built program prints for --help (of itself and of every command),
so they list exactly the commands, options, option values and category words that it takes and
never go stale: the build runs this after every change of the program. The sections that no
--help holds (exit status, environment, files, examples, what each category word selects) are
written here; a category word the program names and this file does not describe fails the build.

The man page's PYTHON MODULE section is the Python module's own documentation text
(help(tarnwick.bundle)), read from its source, python/src/module_doc.hpp.

Usage: make_docs.py PROGRAM --man FILE --completion FILE [--python-doc module_doc.hpp]
"""
import argparse
import datetime
import re
import subprocess
import sys

SECTION = re.compile(r"^(\w[\w ]*):$")
CATEGORY_WORDS = re.compile(r"category words: ([a-z, ]+)")
COLUMN = 30  # CLI11's column of descriptions

# What each category word selects (the program names the words; the README has the same table).
CATEGORIES = {
    "stock": "common stocks of Shanghai and Shenzhen; Beijing Stock Exchange stocks only with "
             "--enable-bjse; never Hong Kong stocks",
    "futures": "every futures contract",
    "fund": "ETFs and LOFs, and indices; not REITs",
    "index": "indices",
    "option": "every option contract",
    "convertible": "convertible bonds, and the stock each one converts into",
    "all": "everything of the words above together, Beijing stocks included; not Hong Kong stocks and "
           "not REITs (name those by identifier)",
}

EXIT_STATUS = [
    ("0", "Done: everything asked for was done and nothing needs attention."),
    ("1", "Done with problems found: an instrument was not updated or installed (the log says which "
          "and why), no tag matched an instrument, check left abnormal or blocked files or found no "
          "calendar, status or check content found something that needs attention, or update was "
          "given nothing to do."),
    ("2", "Bad usage or arguments, before anything was changed: an unknown command or option (the "
          "nearest is suggested), a bad value, a folder of the wrong level or without a bundle, an "
          "output file that cannot be written or is one of the bundle's own files, an unusable "
          "setting (TARNWICK_NOW, the log file)."),
    ("3", "Could not do it: an error stopped the command (a damaged archive, a file that cannot be "
          "read, the end of standard input at a question)."),
    ("130, 143", "Stopped by SIGINT (Ctrl-C) or SIGTERM; the instruments not updated are named."),
]

ENVIRONMENT = [
    ("TARNWICK_NOW", "the local time taken for now, YYYY-MM-DD HH:MM:SS[.ffffff], at most 2999-12-31 "
                     "(reproducible runs); default the system clock"),
    ("TARNWICK_LOG_FILE", "also append the log to this file (--log-file replaces it)"),
    ("HARRIER_PROXY", "proxy for http and https of download-sample"),
    ("TARNWICK_SIM_SEED", "seed of the simulated market's prices (default 1)"),
    ("TARNWICK_SIM_STOCKS", "extra generated A-share stocks of the simulated market (default 0)"),
    ("TARNWICK_SIM_FIRST_DATE", "first trading day with bars in the simulated market (default 20260901)"),
    ("TARNWICK_SIM_TICK_FIRST_DATE", "first trading day with ticks in the simulated market (default 20261116)"),
    ("TARNWICK_SIM_DENY", "identifiers (a comma list, or *) whose prices the simulated market refuses"),
]

FILES = [
    ("ROOT/bundle/h5/GROUP/ID.h5", "minute bars of one instrument; GROUP is equities, future or option"),
    ("ROOT/bundle/ticks/ID.h5", "ticks of one instrument, one dataset per trading day"),
    ("FILE.journal", "the undo journal of an update of FILE that has not finished; the next update or "
                     "check rolls it back"),
    ("ROOT/bundle/trading_dates.npy, instruments.pk, suspended_days.h5",
     "base data: the trading calendar, the instrument list and the suspension days"),
    ("ROOT/bundle/.tarnwick/selection.json", "the recorded selection of the updates (status, "
                                             "update-existing --selection)"),
]

EXAMPLES = [
    ("A bundle in ~/data: base data, the minute bars of all stocks and the ticks of one index future.",
     ["tarnwick-bundle update ~/data --base --minbar stock --tick IF2612"]),
    ("Every evening: extend every store file, then see what needs attention.",
     ["tarnwick-bundle update-existing ~/data", "tarnwick-bundle status ~/data"]),
    ("Audit what the files hold and keep a coverage page.",
     ["tarnwick-bundle check content ~/data --html coverage.html"]),
    ("The bars of an instrument from 1 November 2026 on, as CSV.",
     ["tarnwick-bundle read ~/data 000001.XSHE --start 20261101 -o bars.csv"]),
    ("Check the tick files in a script, deleting nothing.",
     ["echo no | tarnwick-bundle check tick ~/data"]),
]


def help_text(program, words):
    return subprocess.run([program, *words, "--help"], check=True, capture_output=True, text=True).stdout


class Entry:
    """One row of a help section: its first column split into names and the value it takes."""

    def __init__(self, head, description):
        self.description = description.strip()
        parts = head.split(" ", 1)
        self.names = parts[0].split(",")
        self.value = parts[1] if len(parts) > 1 else ""
        # Positionals show their type ("TEXT REQUIRED"); only an option's value is shown.
        self.positional = not parts[0].startswith("-")

    @property
    def choices(self):
        return self.value.split("|") if "|" in self.value else []


class Command:
    def __init__(self, words, text):
        self.words = tuple(words)
        self.text = text
        lines = text.splitlines()
        usage = next(i for i, line in enumerate(lines) if line.startswith("Usage:"))
        self.description = " ".join(line.strip() for line in lines[:usage] if line.strip())
        self.usage = lines[usage][len("Usage:"):].strip()
        self.sections = {}
        current = None
        for line in lines[usage + 1:]:
            head = SECTION.match(line)
            if head:
                current = self.sections.setdefault(head.group(1), [])
            elif current is not None and line.startswith("  ") and not line[2].isspace():
                if len(line) > COLUMN and line[COLUMN - 1] == " ":
                    current.append(Entry(line[:COLUMN].strip(), line[COLUMN:]))
                else:
                    current.append(Entry(line.strip(), ""))
            elif current is not None and line.startswith(" " * COLUMN) and current:
                current[-1].description += " " + line.strip()
        self.categories = sorted({w.strip() for found in CATEGORY_WORDS.findall(text)
                                  for w in found.split(",") if w.strip()})

    @property
    def options(self):
        return self.sections.get("Options", [])

    @property
    def positionals(self):
        return self.sections.get("Positionals", [])

    @property
    def subcommands(self):
        return [e.names[0] for e in self.sections.get("Subcommands", [])]


def commands(program, words=()):
    """Every command, depth first: the program itself, then each command below it."""
    command = Command(words, help_text(program, list(words)))
    result = [command]
    for sub in command.subcommands:
        result += commands(program, (*words, sub))
    return result


# ---- bash completion --------------------------------------------------------------------------

def completion(tree):
    paths = "\n".join(f'            "{" ".join(c.words)}") path="{" ".join(c.words)}" ;;' for c in tree if c.words)
    candidates, values = [], []
    for c in tree:
        names = [n for e in c.options for n in e.names]
        words = names + c.subcommands + c.categories
        candidates.append(f'        "{" ".join(c.words)}") candidates="{" ".join(words)}" ;;')
        for e in c.options:
            if not e.value:
                continue
            # A choice of words, a number (nothing to offer), or a file or folder.
            offer = " ".join(e.choices) if e.choices else ("-" if e.value in ("N", "D") else "")
            if e.value.startswith("TAG"):
                offer = " ".join(c.categories)
            for name in e.names:
                values.append(f'        "{" ".join(c.words)}|{name}") value="{offer}" ;;')
    return f"""# bash completion of tarnwick-bundle: commands, options, option values and category words.
# Made from the program's own --help by make_docs.py; do not edit.
_tarnwick_bundle() {{
    local current="${{COMP_WORDS[COMP_CWORD]}}" previous="${{COMP_WORDS[COMP_CWORD-1]}}"
    local path="" word i candidates="" value=""
    # The command path: the words so far that name a command (options and their values skipped).
    for ((i = 1; i < COMP_CWORD; i++)); do
        word="${{COMP_WORDS[i]}}"
        case "$path${{path:+ }}$word" in
{paths}
        esac
    done
    # The value of an option that takes one: its words, nothing for a number or a date, else a
    # file or folder.
    if [[ "$previous" == -* ]]; then
        case "$path|$previous" in
{chr(10).join(values)}
        *) value="none" ;;
        esac
        if [[ "$value" == "-" ]]; then
            COMPREPLY=()
            return
        elif [[ -n "$value" && "$value" != "none" ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$value" -- "$current")
            return
        elif [[ -z "$value" ]]; then
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return
        fi
    fi
    case "$path" in
{chr(10).join(candidates)}
    esac
    if [[ "$current" == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$candidates" -- "$current")
    else
        # Folders and files, one completion per line, so that names with blanks stay whole.
        mapfile -t COMPREPLY < <(compgen -W "$candidates" -- "$current"; compgen -f -- "$current")
    fi
}}
complete -o filenames -F _tarnwick_bundle tarnwick-bundle
"""


# ---- man page ---------------------------------------------------------------------------------

def roff(text):
    """Text for a filled roff line: backslashes, hyphens of options and a leading dot escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def bold(text):
    return f"\\fB{roff(text)}\\fR"


def option_head(entry):
    names = ", ".join(bold(n) for n in entry.names)
    return names + (f" \\fI{roff(entry.value)}\\fR" if entry.value else "")


def definition(head, body):
    return [".TP", head, roff(body)]


def module_doc(header):
    """The text of the C++ string literal MODULE_DOC in `header`, its lines as Python sees them."""
    with open(header, encoding="utf-8") as f:
        source = f.read()
    body = source[source.index("MODULE_DOC ="):]
    body = body[:body.index('";\n') + 1]
    text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', body))
    return text.encode().decode("unicode_escape").splitlines()


def python_section(lines):
    """The module's text for reading at 80 columns: headings, each function (a line indented by
    two, its signature perhaps continued) with its description (indented by six) as a
    definition, the rest as paragraphs."""
    out = [".SH PYTHON MODULE"]
    paragraph, term, body = [], None, []

    def flush():
        nonlocal paragraph, term, body
        if paragraph:
            out.extend([".PP", roff(" ".join(paragraph))])
        if term is not None:
            out.extend([".TP", bold(term), roff(" ".join(body))])
        paragraph, term, body = [], None, []

    for line in lines:
        if term is not None and not body and not term.endswith(")") and line.startswith("      "):
            term += " " + line.strip()
        elif term is not None and line.startswith("      "):
            body.append(line.strip())
        elif line.startswith("  "):
            flush()
            term = line.strip()
        elif not line.strip():
            flush()
        elif line.endswith(":") and not paragraph:
            flush()
            out.append(".SS " + roff(line[:-1]))
        else:
            if term is not None:
                flush()
            paragraph.append(line.strip())
    flush()
    return out


def man_page(tree, version, python_doc=()):
    top = tree[0]
    date = datetime.date.today().strftime("%B %Y")
    # Left-aligned and not hyphenated: option names and paths stay whole.
    out = [f'.TH TARNWICK\\-BUNDLE 1 "{date}" "tarnwick-bundle {version}" "User Commands"', ".nh", ".ad l",
           ".SH NAME", "tarnwick\\-bundle \\- keeps the minute\\-bar and tick store files of a market\\-data bundle",
           ".SH SYNOPSIS"]
    for c in tree[1:]:
        if c.subcommands:
            continue
        out += [".br" if out[-1] != ".SH SYNOPSIS" else "", f"{bold(' '.join(('tarnwick-bundle', *c.words)))} "
                f"{roff(c.usage.split(' ', len(c.words) + 1)[-1])}"]
    out = [line for line in out if line]
    out += [".br", f"{bold('tarnwick-bundle')} [{bold('--version')}|{bold('--help')}]",
            ".SH DESCRIPTION", roff(top.description),
            ".PP", "Every command takes \\fB\\-\\-help\\fR. Progress goes to standard error; console messages "
                   "to standard output. Category words and identifiers are described under "
                   "\\fBCATEGORY WORDS\\fR.",
            ".SH COMMANDS"]
    for c in tree[1:]:
        if c.subcommands:
            continue
        out += [f".SS {' '.join(c.words)}", roff(c.description)]
        for e in c.positionals:
            out += definition(f"\\fI{roff(e.names[0])}\\fR", e.description)
        for e in c.options:
            if e.names != ["-h", "--help"]:
                out += definition(option_head(e), e.description)
    out += [".SH CATEGORY WORDS",
            "A tag is an instrument identifier (000001.XSHE, IF2612, 00700.XHKG), a futures underlying "
            "symbol (IF: every contract listed under it) or one of these words:"]
    words = sorted({w for c in tree for w in c.categories}, key=list(CATEGORIES).index)
    for word in words:
        out += definition(bold(word), CATEGORIES[word])
    out += [".PP", "\\fB\\-\\-with\\-derivatives\\fR adds the futures and options written on what the tags "
                   "selected. Words nothing resolves are named on the console and skipped."]
    out += [".SH EXIT STATUS"]
    for code, text in EXIT_STATUS:
        out += definition(bold(code), text)
    out += [".SH ENVIRONMENT"]
    for name, text in ENVIRONMENT:
        out += definition(bold(name), text)
    out += [".SH FILES"]
    for name, text in FILES:
        out += definition(f"\\fI{roff(name)}\\fR", text)
    out += [".SH EXAMPLES"]
    for text, lines in EXAMPLES:
        out += [".PP", roff(text), ".PP", ".RS 4", ".nf"] + [roff(line) for line in lines] + [".fi", ".RE"]
    if python_doc:
        out += python_section(list(python_doc))
    out += [".SH SEE ALSO", "The Python module: \\fBpython3 \\-c 'import tarnwick.bundle as tb; help(tb)'\\fR."]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--man")
    parser.add_argument("--completion")
    parser.add_argument("--python-doc")
    args = parser.parse_args()
    tree = commands(args.program)
    unknown = sorted({w for c in tree for w in c.categories} - set(CATEGORIES))
    if unknown:
        sys.exit(f"make_docs.py: describe the category words {unknown} in CATEGORIES")
    if args.completion:
        with open(args.completion, "w", encoding="utf-8") as f:
            f.write(completion(tree))
    if args.man:
        version = subprocess.run([args.program, "--version"], check=True, capture_output=True,
                                 text=True).stdout.split()[-1]
        with open(args.man, "w", encoding="utf-8") as f:
            f.write(man_page(tree, version, module_doc(args.python_doc) if args.python_doc else ()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
