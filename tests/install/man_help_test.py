#!/usr/bin/env python3
"""The manual page twinfold(1) and `twinfold --help` name the same switches
and the same exit codes: the page is rendered as man shows it, and each
side's list is read back from the text a person sees.

    man_help_test.py --twinfold <program> --man <twinfold.1>
"""
import argparse
import os
import re
import subprocess
import sys


def help_lists(text):
    """--help: the switch column of each indented switch line, and the exit codes."""
    switches, codes = [], {}
    in_codes = False
    for line in text.splitlines():
        if line == "Exit codes:":
            in_codes = True
            continue
        m = re.match(r"^  (\d)  (.+)$", line)
        if in_codes and m:
            codes[m.group(1)] = m.group(2)
            continue
        m = re.match(r"^  ([-/][^\s,]*(?:, [-/][^\s,]*)*)  +\S", line)
        if m and not in_codes:
            switches.append(m.group(1))
    return switches, codes


def man_lists(rendered):
    """The rendered page: the tags under OPTIONS, the codes under EXIT STATUS
    (a short tag shares its line with the first words of its paragraph)."""
    switches, codes = [], {}
    section = None
    for line in rendered.splitlines():
        if re.match(r"^[A-Z][A-Z ]+$", line):
            section = line.strip()
            continue
        if section == "OPTIONS":
            m = re.match(r"^ {7}([-/][^\s,]*(?:, [-/][^\s,]*)*)(?: |$)", line)
            if m:
                switches.append(m.group(1))
        elif section == "EXIT STATUS":
            m = re.match(r"^ {7}(\d) +(.+)$", line)
            if m:
                codes[m.group(1)] = m.group(2).strip()
    return switches, codes


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--twinfold", required=True)
    ap.add_argument("--man", required=True)
    args = ap.parse_args()

    env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"}
    help_text = subprocess.run([args.twinfold, "--help"], capture_output=True, text=True, env=env, check=True).stdout
    # A line wide enough that no paragraph breaks, no hyphenation, no bold.
    rendered = subprocess.run(["groff", "-man", "-ww", "-Tascii", "-rLL=400n", "-rHY=0", "-P-cbou", args.man],
                              capture_output=True, text=True, check=True)
    problems = []
    if rendered.stderr:
        problems.append("groff warns: " + rendered.stderr)
    hs, hc = help_lists(help_text)
    ms, mc = man_lists(rendered.stdout)
    if not hs or not hc:
        problems.append("no switches or exit codes found in --help:\n" + help_text)
    if hs != ms:
        problems.append("switches differ:\n  --help: %s\n  man:    %s" % (hs, ms))
    if hc != mc:
        problems.append("exit codes differ:\n  --help: %s\n  man:    %s" % (hc, mc))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
