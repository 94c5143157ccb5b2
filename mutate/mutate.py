#!/usr/bin/env python3
"""Mutation testing of the C++ SDK: how many small faults do the C++ tests catch?

Samples mutants (one edit each) from the C++ sources the given paths name, builds each one
and runs the C++ tests on it. A mutant the tests fail on (or hang on) is caught; one they
pass survives; one that does not build is invalid and left out of the score, and so is one
of a file this build never compiles (another platform's source: "not built here").

    mutate/mutate.py sdk -n 150 --seed 1

The edits: flip a comparison (< and <=, > and >=, == and !=), swap && and ||, nudge an
integer constant by one, drop an expression statement, swap true and false. Comments,
string and character literals, preprocessor lines and static_assert are never touched.

The sources are mirrored into the build folder (build/mutate by default) and mutated there,
one file at a time, and each mutated file is put back byte for byte before the next one,
also on Ctrl-C: the checkout is only read. Survivors listed in mutate/mutate-equivalent.txt
are reported apart with their reason: as equivalent (they cannot change what the SDK does)
or, when the reason starts with "kept:", as known survivors that still count against the
score (they can change behaviour, but no test here can see it).
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent.parent
EQUIVALENTS = ROOT / "mutate" / "mutate-equivalent.txt"
SOURCE_SUFFIXES = (".cpp", ".hpp", ".cc", ".h")
# What the test build needs from the checkout.
MIRRORED = ("CMakeLists.txt", "cmake", "sdk", "sim", "tests")
UNIT_TESTS = "ferrun_unit_tests"
SERIAL_TESTS = "ferrun_serial_tests"

# ---------------------------------------------------------------- finding mutants


@dataclasses.dataclass(frozen=True)
class Mutant:
    file: str  # relative to the checkout
    line: int
    start: int  # character offsets of the replaced text
    end: int
    original: str
    replacement: str
    line_text: str

    @property
    def edit(self) -> str:
        if self.replacement == "{}":
            return "drop statement"
        return f"'{self.original}' -> '{self.replacement}'"


def mask_non_code(text: str) -> str:
    """The text with comments, literals and preprocessor lines blanked (newlines kept)."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True

    def blank(a: int, b: int) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if c in " \t":
            i += 1
            continue
        if at_line_start and c == "#":
            end = i
            while True:  # a directive runs on over backslash-newlines
                end = text.find("\n", end)
                if end < 0:
                    end = n
                    break
                if text[end - 1] != "\\":
                    break
                end += 1
            blank(i, end)
            i = end
            continue
        at_line_start = False
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            blank(i, end)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end)
            i = end
        elif c == "R" and i + 1 < n and text[i + 1] == '"' and not _word_char(text, i - 1):
            open_paren = text.find("(", i)
            delimiter = text[i + 2 : open_paren]
            end = text.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            blank(i, end)
            i = end
        elif c in "\"'":
            if c == "'" and _word_char(text, i - 1) and text[i - 1].isdigit():
                i += 1  # a digit separator: 1'000'000
                continue
            k = i + 1
            while k < n and text[k] != c and text[k] != "\n":
                k += 2 if text[k] == "\\" else 1
            blank(i, k + 1)
            i = k + 1
        else:
            i += 1
    masked = _blank_inactive_branches(text, "".join(out))
    for match in re.finditer(r"\bstatic_assert\b", masked):
        end = masked.find(";", match.start())
        end = len(masked) if end < 0 else end + 1
        masked = masked[: match.start()] + re.sub(r"[^\n]", " ", masked[match.start() : end]) + masked[end:]
    return masked


# Macros never defined in the builds this tool makes: their branches are not compiled.
UNDEFINED_MACROS = ("_WIN32", "_MSC_VER", "__APPLE__")


def _blank_inactive_branches(text: str, masked: str) -> str:
    """Blanks the lines of #ifdef branches that this platform does not compile."""
    lines = masked.split("\n")
    active = [True]  # per open conditional: is its current branch compiled
    for number, line in enumerate(text.split("\n")):
        directive = re.match(r"\s*#\s*(\w+)\s*(\w*)", line)
        kind = directive.group(1) if directive else ""
        if kind in ("if", "ifdef", "ifndef"):
            name = directive.group(2) if directive else ""
            known = name in UNDEFINED_MACROS and kind != "if"
            active.append(active[-1] and (not known or kind == "ifndef"))
        elif kind in ("else", "elif") and len(active) > 1:
            active[-1] = active[-2] and not active[-1] if kind == "else" else active[-2]
        elif kind == "endif" and len(active) > 1:
            active.pop()
        elif not active[-1]:
            lines[number] = re.sub(r"[^\n]", " ", lines[number])
    return "\n".join(lines)


def _word_char(text: str, i: int) -> bool:
    return 0 <= i < len(text) and (text[i].isalnum() or text[i] == "_")


TOKEN = re.compile(
    r"(?P<word>[A-Za-z_]\w*)"
    r"|(?P<number>\.?\d(?:[eEpP][+-]|[\w.'])*)"
    r"|(?P<op><<=|>>=|<=|>=|==|!=|&&|\|\||<<|>>|->|::|[<>])"
    r"|(?P<other>\S)"
)
INTEGER = re.compile(r"(?P<digits>0[xX][0-9a-fA-F']+|[0-9][0-9']*)(?P<suffix>[uUlL]*)$")
FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}
NOT_EXPRESSION_STATEMENTS = re.compile(
    r"(return|break|continue|goto|using|typedef|namespace|class|struct|enum|union|template|"
    r"friend|virtual|constexpr|const|static|extern|auto|inline|explicit|typename|"
    r"static_assert)\b"
)
# A type (qualified, perhaps with template arguments) followed by a name: a declaration.
DECLARATION = re.compile(r"[A-Za-z_][\w:]*(?!\s*<<)(<[\w:,\s*&<>]*>)?(\s+|\s*[*&]+\s*)[A-Za-z_]")
LEADING_LABEL = re.compile(r"(case\b[^;]*?[^:]|default|public|private|protected)\s*:(?!:)\s*")
LEADING_KEYWORD = re.compile(r"(else|do|try)\b\s*")
LEADING_CONTROL = re.compile(r"(if|while|for|switch|catch)\s*\(")


def nudged(literal: str, delta: int) -> Optional[str]:
    match = INTEGER.match(literal)
    if not match:
        return None
    digits, suffix = match.group("digits").replace("'", ""), match.group("suffix")
    if digits.lower().startswith("0x"):
        value = int(digits, 16) + delta
        if value < 0:
            return None
        text = format(value, "X" if any(ch.isupper() for ch in digits[2:]) else "x")
        return digits[:2] + text.zfill(len(digits) - 2) + suffix
    value = int(digits, 10) + delta
    return f"{value}{suffix}" if value >= 0 else f"({value})"


def find_mutants(path: Path, relative: str) -> List[Mutant]:
    text = path.read_text(encoding="utf-8")
    code = mask_non_code(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    lines = text.split("\n")
    found: List[Mutant] = []

    def add(start: int, end: int, replacement: str) -> None:
        line = _line_of(line_starts, start)
        found.append(
            Mutant(relative, line, start, end, text[start:end], replacement, lines[line - 1].strip())
        )

    for token in TOKEN.finditer(code):
        kind, value, start, end = token.lastgroup, token.group(), token.start(), token.end()
        if kind == "word" and value in ("true", "false"):
            add(start, end, "false" if value == "true" else "true")
        elif kind == "number":
            if re.search(r"\)[\w\s]*=\s*$", code[max(0, start - 80) : start]):
                continue  # the pure-specifier of "virtual f() = 0;"
            for delta in (1, -1):
                replacement = nudged(value, delta)
                if replacement is not None:
                    add(start, end, replacement)
        elif kind == "op" and value in FLIPS:
            # Templates' angle brackets and rvalue references have no space on both sides;
            # the binary operators always do (the code is clang-formatted).
            spaced = code[start - 1 : start].isspace() and code[end : end + 1].isspace()
            if value in ("<", ">", "&&") and not spaced:
                continue
            add(start, end, FLIPS[value])
    for start, end in _expression_statements(code):
        add(start, end, "{}")
    return found


def _line_of(line_starts: List[int], offset: int) -> int:
    low, high = 0, len(line_starts)
    while high - low > 1:
        middle = (low + high) // 2
        if line_starts[middle] <= offset:
            low = middle
        else:
            high = middle
    return low + 1


def _expression_statements(code: str) -> List[Tuple[int, int]]:
    """Spans of the expression statements in function bodies."""
    spans: List[Tuple[int, int]] = []
    # Each frame: (bracket, is a function body or block, statement start when it opened).
    frames: List[Tuple[str, bool, int]] = [("{scope", False, 0)]
    statement_start = 0
    after_scope = -1
    for i, c in enumerate(code):
        if c in "([":
            frames.append((c, False, statement_start))
        elif c in ")]":
            if len(frames) > 1:
                frames.pop()
        elif c == "{":
            before = code[_strip_heads(code, statement_start, i) : i].strip()
            if re.match(r"(class|struct|union|enum|namespace|extern)\b", before):
                kind = "{scope"
            elif before == "" and frames[-1][1]:
                kind = "{code"  # a nested block
            elif re.search(r"[)\]]\s*(const|override|noexcept|final|mutable|\s)*$", before):
                kind = "{code"  # a function's or a lambda's body
            else:
                kind = "{init"  # a brace initializer, part of its expression
            frames.append((kind, kind == "{code", statement_start))
            statement_start = i + 1
        elif c == "}":
            if len(frames) > 1:
                kind, _, outer_start = frames.pop()
                # A block ends its statement; an initializer or a lambda in an expression does not.
                inside_expression = kind == "{init" or not frames[-1][0].startswith("{")
                statement_start = outer_start if inside_expression else i + 1
                if kind == "{scope":
                    after_scope = statement_start  # struct S {...} s; declares s
        elif c == ";" and frames[-1][0].startswith("{"):
            if frames[-1][1]:
                head = _strip_heads(code, statement_start, i)
                statement = code[head:i].strip()
                if statement_start != after_scope and _is_expression_statement(statement):
                    spans.append((head, i + 1))
            statement_start = i + 1
    return spans


def _strip_heads(code: str, start: int, end: int) -> int:
    """Skips labels, else/do and control heads (if (...)) in front of a statement."""
    i = start
    while True:
        while i < end and code[i].isspace():
            i += 1
        rest = code[i:end]
        match = LEADING_LABEL.match(rest) or LEADING_KEYWORD.match(rest)
        if match:
            i += match.end()
            continue
        match = LEADING_CONTROL.match(rest)
        if not match:
            return i
        depth, k = 0, i + match.end() - 1
        while k < end:
            depth += {"(": 1, ")": -1}.get(code[k], 0)
            k += 1
            if depth == 0:
                break
        i = k


def _is_expression_statement(statement: str) -> bool:
    if re.match(r"(throw|delete)\b", statement):
        return True
    if not statement or NOT_EXPRESSION_STATEMENTS.match(statement) or statement.startswith("(void)"):
        return False
    if re.search(r"=\s*(delete|default|0)$", statement):
        return False
    return not DECLARATION.match(statement)


def source_files(paths: Sequence[str]) -> List[str]:
    files: List[str] = []
    for name in paths:
        path = (ROOT / name).resolve() if not os.path.isabs(name) else Path(name).resolve()
        if path.is_dir():
            files += [str(p.relative_to(ROOT)) for p in sorted(path.rglob("*")) if p.suffix in SOURCE_SUFFIXES]
        elif path.suffix in SOURCE_SUFFIXES and path.is_file():
            files.append(str(path.relative_to(ROOT)))
        else:
            raise SystemExit(f"mutate: no C++ sources at {name}")
    return sorted(set(files))


def stable_sample(candidates: List[Mutant], n: int, seed: int) -> List[Mutant]:
    """n mutants chosen by a hash of what they are, not where: the same seed picks the same
    mutants of the lines that did not change, however the rest of the sources moved."""
    seen: Dict[Tuple[str, str, str], int] = {}
    keyed = []
    for m in candidates:
        name = (m.file, m.line_text, m.edit)
        seen[name] = seen.get(name, 0) + 1  # the same edit on a repeated line
        text = f"{seed}|{m.file}|{m.line_text}|{m.edit}|{seen[name]}"
        keyed.append((hashlib.sha256(text.encode("utf-8")).hexdigest(), m))
    return [m for _, m in sorted(keyed, key=lambda pair: pair[0])[:n]]


# ---------------------------------------------------------------- equivalent mutants


@dataclasses.dataclass
class Equivalent:
    file: str
    where: str  # a line number, or the line's text without surrounding blanks
    edit: str
    reason: str

    @property
    def changes_behaviour(self) -> bool:
        return self.reason.startswith("kept:")

    def matches(self, mutant: Mutant) -> bool:
        at = str(mutant.line) if self.where.isdigit() else mutant.line_text
        return self.file == mutant.file and self.where == at and self.edit == mutant.edit


def load_equivalents(path: Path) -> List[Equivalent]:
    entries: List[Equivalent] = []
    if not path.exists():
        return entries
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        # The line's text may hold " | " itself (a | b): the file is first, edit and reason last.
        head = line.split(" | ", 1)
        fields = [field.strip() for field in head[:1] + (head[1].rsplit(" | ", 2) if len(head) > 1 else [])]
        if len(fields) != 4:
            raise SystemExit(f"mutate: {path}:{number}: want 'file | line | edit | reason'")
        entries.append(Equivalent(*fields))
    return entries


# ---------------------------------------------------------------- building and testing


@dataclasses.dataclass
class Outcome:
    mutant: Mutant
    status: str  # caught, survived, invalid, not built
    detail: str = ""
    equivalent: Optional[Equivalent] = None


class Stopped(Exception):
    pass


class Workspace:
    """A mirror of the checkout and its build folder; one per job."""

    def __init__(self, folder: Path, build_type_flags: Sequence[str]) -> None:
        self.source = folder / "src"
        self.build = folder / "build"
        self.flags = list(build_type_flags)
        self.children: Dict[int, subprocess.Popen[bytes]] = {}
        self.lock = threading.Lock()
        self.stopping = False
        self.test_limits: Dict[str, float] = {}
        # The sources and headers the tests' build compiles, relative to the checkout; None
        # when the build system cannot say.
        self.compiled: Optional[set] = None

    def sync(self) -> None:
        """Copies what differs from the checkout, so that builds stay incremental."""
        for name in MIRRORED:
            origin = ROOT / name
            files = [origin] if origin.is_file() else [p for p in origin.rglob("*") if p.is_file()]
            for path in files:
                target = self.source / path.relative_to(ROOT)
                content = path.read_bytes()
                if path == ROOT / "tests" / "CMakeLists.txt":
                    # Each mutant's build skips the check that every header compiles alone.
                    content = re.sub(rb"\nadd_dependencies\(\w+ ferrun_header_check\)", b"", content)
                if not target.exists() or target.read_bytes() != content:
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(content)
            mirrored = self.source / name
            if mirrored.is_dir():  # files gone from the checkout go from the mirror too
                for stale in [p for p in mirrored.rglob("*") if p.is_file()]:
                    if not (ROOT / stale.relative_to(self.source)).exists():
                        stale.unlink()

    def configure(self) -> None:
        vectors = (ROOT.parent / "shared" / "vectors").resolve()
        command = ["cmake", "-S", str(self.source), "-B", str(self.build), "-DFERRUN_BUILD_TOOLS=OFF",
                   f"-DFERRUN_VECTORS_DIR={vectors}"] + self.flags
        if shutil.which("ninja"):
            command += ["-G", "Ninja"] if not (self.build / "CMakeCache.txt").exists() else []
        code, output = self.run(command, 600)
        if code != 0:
            raise SystemExit("mutate: cmake failed:\n" + output[-3000:])

    def compile(self) -> Tuple[bool, str]:
        code, output = self.run(
            ["cmake", "--build", str(self.build), "-j2", "--target", UNIT_TESTS, SERIAL_TESTS], 1800)
        return code == 0, output

    def find_compiled(self) -> None:
        """Asks ninja which files the objects built so far were compiled from."""
        ninja = shutil.which("ninja")
        if ninja is None or not (self.build / "build.ninja").exists():
            return
        code, output = self.run([ninja, "-C", str(self.build), "-t", "deps"], 600)
        if code != 0:
            return
        compiled = set()
        for line in output.splitlines():
            if line.startswith((" ", "\t")) and line.strip():
                path = Path(os.path.normpath(self.build / line.strip()))
                if self.source in path.parents:
                    compiled.add(str(path.relative_to(self.source)))
        self.compiled = compiled or None

    def test(self, target: str) -> Tuple[bool, str]:
        """(passed, what failed) of one test program, with its time limit."""
        binary = self.build / "tests" / target
        limit = self.test_limits.get(target, 600.0)
        code, output = self.run([str(binary), "--gtest_brief=1"], limit)
        if code == 0:
            return True, ""
        if code is None:
            return False, f"{target} timed out"
        # "[  FAILED  ] Suite.Name" or, for a value-parameterized test, "...Name/case, where ..."
        failed = sorted(set(re.findall(r"^\[  FAILED  \] ([\w/]+\.[\w/]+)", output, re.M)))
        if not failed:
            return False, f"{target} exit {code}"
        # Tests on a real line can fail once on a busy machine: a failure counts when it repeats.
        for _ in range(2):
            code, output = self.run(
                [str(binary), "--gtest_brief=1", "--gtest_filter=" + ":".join(failed)], limit)
            if code == 0 and f"[  PASSED  ] {len(failed)} test" in output:
                return True, ""
        return False, failed[0]

    def run(self, command: List[str], limit: float) -> Tuple[Optional[int], str]:
        if self.stopping:
            raise Stopped()
        # A session of its own: Ctrl-C reaches this script only, which ends the children.
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 start_new_session=True)
        with self.lock:
            self.children[child.pid] = child
        try:
            output, _ = child.communicate(timeout=limit)
            code: Optional[int] = child.returncode
        except subprocess.TimeoutExpired:
            self.kill(child)
            output, _ = child.communicate()
            code = None
        except BaseException:
            self.kill(child)
            raise
        finally:
            with self.lock:
                self.children.pop(child.pid, None)
        if self.stopping:
            raise Stopped()
        return code, output.decode("utf-8", "replace")

    def kill(self, child: subprocess.Popen[bytes]) -> None:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop(self) -> None:
        self.stopping = True
        with self.lock:
            for child in list(self.children.values()):
                self.kill(child)

    def try_mutant(self, mutant: Mutant) -> Outcome:
        if self.compiled is not None and mutant.file not in self.compiled:
            return Outcome(mutant, "not built")
        path = self.source / mutant.file
        original = path.read_bytes()
        text = original.decode("utf-8")
        try:
            path.write_bytes((text[: mutant.start] + mutant.replacement + text[mutant.end :]).encode("utf-8"))
            built, output = self.compile()
            if not built:
                errors = [line for line in output.splitlines() if "error" in line]
                return Outcome(mutant, "invalid", errors[0][:200] if errors else "build failed")
            for target in (UNIT_TESTS, SERIAL_TESTS):
                passed, failure = self.test(target)
                if not passed:
                    return Outcome(mutant, "caught", failure)
            return Outcome(mutant, "survived")
        finally:
            path.write_bytes(original)


# ---------------------------------------------------------------- progress and report


class Progress:
    def __init__(self, total: int) -> None:
        self.total = total
        self.counts = {"caught": 0, "survived": 0, "invalid": 0, "not built": 0}
        self.done = 0
        try:
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as RichProgress
            from rich.progress import TextColumn, TimeElapsedColumn

            self.rich: Optional[RichProgress] = RichProgress(
                TextColumn("mutants"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                TextColumn("{task.description}"), transient=True, console=None)
            self.task = self.rich.add_task("", total=total)
            self.rich.start()
        except ImportError:
            self.rich = None

    def advance(self, outcome: Outcome) -> None:
        self.done += 1
        self.counts[outcome.status] += 1
        summary = "caught {caught}  survived {survived}  invalid {invalid}".format(**self.counts)
        summary += f"  not built {self.counts['not built']}" if self.counts["not built"] else ""
        if self.rich is not None:
            self.rich.update(self.task, advance=1, description=summary)
        else:
            sys.stderr.write(f"\rmutants {self.done}/{self.total}  {summary}  ")
            sys.stderr.flush()

    def close(self) -> None:
        if self.rich is not None:
            self.rich.stop()
        else:
            sys.stderr.write("\n")


COLUMNS = ("caught", "survived", "equivalent", "invalid", "not built")


def report(outcomes: List[Outcome], interrupted: bool) -> str:
    rows: Dict[str, Dict[str, int]] = {}
    for outcome in outcomes:
        row = rows.setdefault(outcome.mutant.file, dict.fromkeys(COLUMNS, 0))
        equivalent = outcome.equivalent is not None and not outcome.equivalent.changes_behaviour
        row["equivalent" if equivalent else outcome.status] += 1
    lines = []
    header = (f"{'file':44} {'caught/valid':<12} {'equiv':>5} {'invalid':>7} {'not built':>9}   "
              "caught/behaviour-changing")
    lines.append(header)
    total = dict.fromkeys(COLUMNS, 0)
    for file in sorted(rows):
        lines.append(_score_line(file, rows[file]))
        for key in total:
            total[key] += rows[file][key]
    lines.append(_score_line("all", total))
    survivors = [o for o in outcomes if o.status == "survived" and not o.equivalent]
    lines.append("")
    lines.append(f"survivors ({len(survivors)}):")
    for o in sorted(survivors, key=lambda o: (o.mutant.file, o.mutant.line)):
        lines.append(f"  {o.mutant.file}:{o.mutant.line}: {o.mutant.edit}    {o.mutant.line_text}")
    for title, kept in (("known survivors", True), ("equivalent", False)):
        listed = [o for o in outcomes if o.equivalent and o.equivalent.changes_behaviour == kept]
        lines.append(f"{title} ({len(listed)}, {EQUIVALENTS.relative_to(ROOT)}):")
        for o in sorted(listed, key=lambda o: (o.mutant.file, o.mutant.line)):
            assert o.equivalent is not None
            lines.append(f"  {o.mutant.file}:{o.mutant.line}: {o.mutant.edit}    {o.equivalent.reason}")
    unbuilt = sorted({o.mutant.file for o in outcomes if o.status == "not built"})
    if unbuilt:
        lines.append(f"not built here, left out of the score: {', '.join(unbuilt)}")
    if interrupted:
        lines.append(f"interrupted after {len(outcomes)} mutants")
    return "\n".join(lines)


def _score_line(file: str, row: Dict[str, int]) -> str:
    valid = row["caught"] + row["survived"] + row["equivalent"]
    changing = row["caught"] + row["survived"]
    percent = f"{100.0 * row['caught'] / changing:.1f}%" if changing else "-"
    return (f"{file:44} {row['caught']:>5}/{valid:<6} {row['equivalent']:>5} {row['invalid']:>7} "
            f"{row['not built']:>9}   "
            f"{row['caught']:>5}/{changing:<6} {percent:>6}")


# ---------------------------------------------------------------- main


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", help="files or folders of C++ sources, from the checkout")
    parser.add_argument("-n", type=int, default=150, help="mutants to sample (default 150)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    parser.add_argument("--jobs", type=int, default=1, help="mutants built and tested at once (default 1)")
    parser.add_argument("--build-dir", help="mirrors and builds (default build/mutate)")
    parser.add_argument("--match", metavar="TEXT", action="append",
                        help="sample only mutants whose 'file:line: edit' contains TEXT (repeatable)")
    parser.add_argument("--sanitize", action="store_true",
                        help="build under AddressSanitizer and UndefinedBehaviorSanitizer, as CI "
                        "runs the tests (default folder build/mutate-sanitize)")
    parser.add_argument("--list", action="store_true", help="print the sampled mutants and stop")
    parser.add_argument("--json", metavar="PATH", help="also write every outcome to PATH")
    parser.add_argument("--rescore", metavar="PATH", action="append",
                        help="print the report of a run saved with --json again, with the "
                        "equivalents file as it is now, and stop; repeated, the outcomes of a "
                        "later run replace those of the same mutants in the earlier ones")
    args = parser.parse_args(argv)

    if args.rescore:
        equivalents = load_equivalents(EQUIVALENTS)
        saved: List[Outcome] = []
        for number, run in enumerate(args.rescore):
            earlier = len(saved)
            # Of the earlier outcomes with the same edit of the same line text, the nearest one
            # is replaced by its closest match of this run; the other outcomes are added.
            best: Dict[int, Tuple[Tuple[int, int], Outcome]] = {}
            for entry in json.loads(Path(run).read_text()):
                mutant = Mutant(**{f.name: entry[f.name] for f in dataclasses.fields(Mutant)})
                outcome = Outcome(mutant, entry["status"], entry["detail"])
                if outcome.status == "survived":
                    outcome.equivalent = next((e for e in equivalents if e.matches(mutant)), None)
                distances = {k: (abs(saved[k].mutant.line - mutant.line), abs(saved[k].mutant.start - mutant.start))
                             for k in range(earlier) if (saved[k].mutant.file, saved[k].mutant.line_text,
                             saved[k].mutant.edit) == (mutant.file, mutant.line_text, mutant.edit)}
                nearest = min(distances, key=lambda k: distances[k]) if number > 0 and distances else None
                if nearest is not None and (nearest not in best or distances[nearest] < best[nearest][0]):
                    if nearest in best:
                        saved.append(best[nearest][1])
                    best[nearest] = (distances[nearest], outcome)
                else:
                    saved.append(outcome)
            for k, (_, outcome) in best.items():
                saved[k] = outcome
        print(report(saved, False))
        return 0
    if not args.paths:
        parser.error("name the C++ sources to mutate, e.g. sdk")
    files = source_files(args.paths)
    candidates = [m for f in files for m in find_mutants(ROOT / f, f)]
    if args.match:
        candidates = [m for m in candidates if any(t in f"{m.file}:{m.line}: {m.edit}" for t in args.match)]
    sample = stable_sample(candidates, args.n, args.seed)
    sample.sort(key=lambda m: (m.file, m.start, m.replacement))
    print(f"{len(candidates)} possible mutants in {len(files)} files, {len(sample)} sampled "
          f"(seed {args.seed})", file=sys.stderr)
    if args.list:
        for m in sample:
            print(f"{m.file}:{m.line}: {m.edit}    {m.line_text}")
        return 0
    equivalents = load_equivalents(EQUIVALENTS)

    build_root = (ROOT / (args.build_dir or "build/mutate" + ("-sanitize" if args.sanitize else ""))).resolve()
    flags = ["-DCMAKE_BUILD_TYPE=", "-DCMAKE_CXX_FLAGS=-O0"]
    flags.append("-DFERRUN_SANITIZE=" + ("address,undefined" if args.sanitize else ""))
    workspaces = [Workspace(build_root / f"job{k}", flags) for k in range(max(1, args.jobs))]
    interrupted = False

    def on_signal(signum: int, frame: object) -> None:
        raise KeyboardInterrupt()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    outcomes: List[Outcome] = []
    progress: Optional[Progress] = None
    pool = ThreadPoolExecutor(max_workers=len(workspaces))
    try:
        for space in workspaces:
            print(f"building and testing the unmutated sources in {space.build}", file=sys.stderr)
            space.sync()
            space.configure()
            built, output = space.compile()
            if not built:
                raise SystemExit("mutate: the unmutated sources do not build:\n" + output[-3000:])
            space.find_compiled()
            for target in (UNIT_TESTS, SERIAL_TESTS):
                started = time.monotonic()
                passed, failure = space.test(target)
                if not passed:
                    raise SystemExit(f"mutate: the tests fail on the unmutated sources: {failure}")
                # A mutant that takes far longer than the real code hangs.
                space.test_limits[target] = 10 * (time.monotonic() - started) + 20
        progress = Progress(len(sample))
        queue = list(reversed(sample))
        idle = list(workspaces)
        running: Dict[Future[Outcome], Workspace] = {}
        while queue or running:
            while queue and idle:
                space = idle.pop()
                running[pool.submit(space.try_mutant, queue.pop())] = space
            done, _ = wait(list(running), timeout=0.2, return_when=FIRST_COMPLETED)
            for future in done:
                idle.append(running.pop(future))
                outcome = future.result()
                if outcome.status == "survived":
                    outcome.equivalent = next((e for e in equivalents if e.matches(outcome.mutant)), None)
                outcomes.append(outcome)
                progress.advance(outcome)
    except KeyboardInterrupt:
        interrupted = True
        for space in workspaces:
            space.stop()
        # Each job puts its file back before it ends.
        pool.shutdown(wait=True)
    finally:
        pool.shutdown(wait=True)
        if progress is not None:
            progress.close()
    outcomes.sort(key=lambda o: (o.mutant.file, o.mutant.start, o.mutant.replacement))
    print(report(outcomes, interrupted))
    if args.json:
        Path(args.json).write_text(json.dumps(
            [dict(dataclasses.asdict(o.mutant), edit=o.mutant.edit, status=o.status, detail=o.detail,
                  equivalent=o.equivalent.reason if o.equivalent else None) for o in outcomes],
            indent=1))
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
