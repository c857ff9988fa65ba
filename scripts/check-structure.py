#!/usr/bin/python3
"""Checks the rules that keep the tree's parts apart, and prints every breach:

- no function in modules/, host/ or lib/ is longer than 80 lines, counted
  from the line where its declaration starts (template header and return
  type included) to its closing brace; lambdas and local classes count as
  part of the function that holds them, a lambda bound to a variable outside
  any function counts as a function of its own;
- lib/ includes, with quotes, only its own headers and those of host/ and
  host/include/ (never a front end's: cli/, python/, fuzz/, viewer/), and
  no Python headers;
- modules/ includes only its own files, host/include/ and the standard
  library;
- host/ includes only its own files, the standard library and the system's
  (POSIX) headers: nothing of lib/, the front ends or any file format;
- the quoted includes among the files of lib/ form no circle, a .cpp and
  its .h counted as one unit.

/usr/bin/python3 scripts/check-structure.py [--root DIR] [--self-test] [--list N]

Exit status 0 when the tree keeps every rule, 1 with the list of breaches.
"""
import argparse
import os
import re
import sys
import tempfile

MAX_LINES = 80
AREAS = ("modules", "host", "lib")
CIRCLE_AREAS = ("lib",)
FRONT_ENDS = ("cli", "python", "fuzz", "viewer")
SOURCE_SUFFIXES = (".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inl", ".ipp", ".tpp")

# --------------------------------------------------------------------------
# Headers a part may name in angle brackets.

CXX_HEADERS = set("""
algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
condition_variable coroutine deque exception execution expected filesystem format forward_list fstream
functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale
map memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex
scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept stop_token
streambuf string string_view strstream syncstream system_error thread tuple type_traits typeindex typeinfo
unordered_map unordered_set utility valarray variant vector version
""".split())
C_HEADERS = set("""
assert complex ctype errno fenv float inttypes iso646 limits locale math setjmp signal stdalign stdarg
stdbool stddef stdint stdio stdlib string tgmath time uchar wchar wctype
""".split())
STANDARD_HEADERS = (CXX_HEADERS | {"c" + h for h in C_HEADERS} | {h + ".h" for h in C_HEADERS}
                    # the compiler's own: vector instructions, the processor's features
                    | {"immintrin.h", "x86intrin.h", "emmintrin.h", "smmintrin.h", "nmmintrin.h",
                       "xmmintrin.h", "pmmintrin.h", "tmmintrin.h", "cpuid.h"})
POSIX_HEADERS = set("""
aio.h arpa/inet.h dirent.h dlfcn.h fcntl.h fnmatch.h glob.h grp.h langinfo.h libgen.h link.h
netdb.h net/if.h netinet/in.h netinet/tcp.h poll.h pthread.h pwd.h regex.h sched.h semaphore.h spawn.h
strings.h syslog.h termios.h unistd.h utime.h wordexp.h malloc.h execinfo.h features.h endian.h
""".split())
POSIX_PREFIXES = ("sys/", "linux/", "bits/", "asm/")


def standard_header(name):
    return name in STANDARD_HEADERS


def system_header(name):
    return standard_header(name) or name in POSIX_HEADERS or name.startswith(POSIX_PREFIXES)


# --------------------------------------------------------------------------
# The lexer: tokens with their lines, without comments, strings' contents,
# preprocessor lines or the branches of a conditional that are not taken.

class Token:
    __slots__ = ("kind", "text", "line")

    def __init__(self, kind, text, line):
        self.kind, self.text, self.line = kind, text, line

    def __repr__(self):
        return f"{self.text}@{self.line}"


PUNCTUATORS = sorted("""
:: -> ->* ... .* >>= <<= <=> >> << && || == != <= >= ++ -- += -= *= /= %= &= |= ^= ##
""".split(), key=len, reverse=True)
STRING_PREFIXES = ("u8R", "uR", "UR", "LR", "R", "u8", "u", "U", "L")
IDENT_START = re.compile(r"[A-Za-z_$]")
IDENT = re.compile(r"[A-Za-z_$][A-Za-z0-9_$]*")
# A preprocessing number: digits, letters, dots, exponent signs and the
# digit separator (1'000'000 is one number, not a character literal).
PP_NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[A-Za-z0-9_]|[A-Za-z0-9_.])*")
INCLUDE = re.compile(r'include\s*([<"])([^>"]*)[>"]')


class Lexed:
    def __init__(self):
        self.tokens = []
        self.includes = []   # (line, quoted, name)
        self.branches = []   # the number of branches of every conditional


def skip_line_comment(text, i, line):
    """From // to the end of the line (a backslash before it carries on); returns (i at the newline, line)."""
    n = len(text)
    while i < n and text[i] != "\n":
        if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
            i += 2
            line += 1
            continue
        i += 1
    return i, line


def skip_block_comment(text, i, line):
    """From /* past */; returns (i, line)."""
    end = text.find("*/", i + 2)
    end = len(text) if end < 0 else end + 2
    return end, line + text.count("\n", i, end)


def skip_quoted(text, i, line, quote):
    """From the opening quote past the closing one, escapes honoured; an
    unterminated literal ends at the line's end."""
    n = len(text)
    i += 1
    while i < n:
        c = text[i]
        if c == "\\":
            if i + 1 < n and text[i + 1] == "\n":
                line += 1
            i += 2
            continue
        if c == quote:
            return i + 1, line
        if c == "\n":
            return i, line
        i += 1
    return i, line


def skip_raw_string(text, i, line):
    """From the quote of R"delim( past )delim"."""
    open_paren = text.find("(", i)
    if open_paren < 0:
        return len(text), line
    close = ")" + text[i + 1:open_paren] + '"'
    end = text.find(close, open_paren)
    end = len(text) if end < 0 else end + len(close)
    return end, line + text.count("\n", i, end)


class Conditionals:
    """The #if stack. One reading takes one branch of every conditional: the
    choice-th (the last when it has fewer), counting from the first, or from
    the second after #if 0; a conditional of #if 0 alone is never taken. The
    readings of every choice up to the most branches a conditional has see
    every branch. branches, when known, holds the number of branches of every
    conditional in order; a reading without it counts them (self.counted)."""

    def __init__(self, choice=0, branches=None):
        self.choice, self.branches = choice, branches
        self.stack = []     # [branch now, branch taken]
        self.counted = []   # the branches of every conditional so far
        self.open = []      # their indices in counted, innermost last

    def active(self):
        return all(now == taken for now, taken in self.stack)

    def directive(self, name, rest):
        if name in ("if", "ifdef", "ifndef"):
            never = name == "if" and rest.strip() in ("0", "(0)", "false")
            index = len(self.counted)
            self.counted.append(1)
            self.open.append(index)
            n = self.branches[index] if self.branches and index < len(self.branches) else 2
            eligible = list(range(1 if never else 0, n))
            self.stack.append([0, eligible[min(self.choice, len(eligible) - 1)] if eligible else -1])
        elif not self.stack:
            return
        elif name.startswith("elif") or name == "else":
            self.stack[-1][0] += 1
            self.counted[self.open[-1]] += 1
        elif name == "endif":
            self.stack.pop()
            self.open.pop()


def read_directive(text, i, line):
    """From # to the end of its logical line: (its text without comments, i at the newline, line)."""
    n = len(text)
    out = []
    while i < n and text[i] != "\n":
        c = text[i]
        if c == "\\" and i + 1 < n and text[i + 1] == "\n":
            i += 2
            line += 1
            out.append(" ")
            continue
        if text.startswith("//", i):
            i, line = skip_line_comment(text, i, line)
            break
        if text.startswith("/*", i):
            i, line = skip_block_comment(text, i, line)
            out.append(" ")
            continue
        if c in "\"'":
            j, line = skip_quoted(text, i, line, c)
            out.append(text[i:j])
            i = j
            continue
        out.append(c)
        i += 1
    return "".join(out), i, line


def lex(text, choice=0, branches=None):
    result = Lexed()
    cond = Conditionals(choice, branches)
    result.branches = cond.counted
    i, n, line = 0, len(text), 1
    line_start = True
    tokens = result.tokens

    def emit(kind, value, at):
        if cond.active():
            tokens.append(Token(kind, value, at))

    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "\\" and i + 1 < n and text[i + 1] == "\n":
            i += 2
            line += 1
            continue
        if text.startswith("//", i):
            i, line = skip_line_comment(text, i, line)
            continue
        if text.startswith("/*", i):
            i, line = skip_block_comment(text, i, line)
            continue
        if c == "#" and line_start:
            at = line
            body, i, line = read_directive(text, i + 1, line)
            m = re.match(r"\s*([A-Za-z_]+)(.*)", body, re.DOTALL)
            if m:
                name, rest = m.group(1), m.group(2)
                cond.directive(name, rest)
                inc = INCLUDE.match(body.strip())
                if name == "include" and inc:
                    result.includes.append((at, inc.group(1) == '"', inc.group(2).strip()))
            continue
        line_start = False
        at = line
        if IDENT_START.match(c):
            m = IDENT.match(text, i)
            word = m.group(0)
            j = m.end()
            if word in STRING_PREFIXES and j < n and text[j] in "\"'":
                if text[j] == '"' and word.endswith("R"):
                    i, line = skip_raw_string(text, j, line)
                else:
                    i, line = skip_quoted(text, j, line, text[j])
                emit("str" if text[j] == '"' else "chr", word + text[j], at)
                continue
            emit("id", word, at)
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            m = PP_NUMBER.match(text, i)
            emit("num", m.group(0), at)
            i = m.end()
            continue
        if c in "\"'":
            i, line = skip_quoted(text, i, line, c)
            emit("str" if c == '"' else "chr", c, at)
            continue
        for p in PUNCTUATORS:
            if text.startswith(p, i):
                emit("op", p, at)
                i += len(p)
                break
        else:
            emit("op", c, at)
            i += 1
    return result


# --------------------------------------------------------------------------
# Finding function definitions among the tokens.

OPENERS = {"(": ")", "[": "]", "{": "}"}
# Keywords whose parenthesised argument is no parameter list.
NOT_PARAMETERS = {"alignas", "__attribute__", "__declspec", "decltype", "alignof", "sizeof", "noexcept",
                  "throw", "requires", "static_assert", "__typeof__", "typeof", "_Alignas", "__asm__", "asm"}
ACCESS = {"public", "private", "protected"}


class Function:
    def __init__(self, name, start, end):
        self.name, self.start, self.end = name, start, end

    @property
    def lines(self):
        return self.end - self.start + 1


def match_group(toks, i):
    """Index of the token closing the group that toks[i] opens."""
    stack = [OPENERS[toks[i].text]]
    j = i + 1
    while j < len(toks):
        t = toks[j].text
        if t in OPENERS:
            stack.append(OPENERS[t])
        elif t in (")", "]", "}"):
            # A stray closer of another kind is taken as closing the group too.
            while stack and stack[-1] != t:
                stack.pop()
            if stack:
                stack.pop()
            if not stack:
                return j
        j += 1
    return len(toks) - 1


def skip_angles(head, i):
    """Index after the > closing the < at head[i]."""
    depth = 0
    j = i
    while j < len(head):
        t = head[j].text
        if t in OPENERS:
            j = match_group(head, j) + 1
            continue
        if t == "<":
            depth += 1
        elif t == ">":
            depth -= 1
        elif t == ">>":
            depth -= 2
        elif t in (";", "{"):
            return j
        j += 1
        if depth <= 0:
            return j
    return j


def strip_prefix(head):
    """The head without leading attributes, template headers and 'export'."""
    i = 0
    while i < len(head):
        t = head[i].text
        if t == "[" and i + 1 < len(head) and head[i + 1].text == "[":
            i = match_group(head, i) + 1
        elif t == "template" and i + 1 < len(head) and head[i + 1].text == "<":
            i = skip_angles(head, i + 1)
        elif t in ("export", "typedef"):
            i += 1
        else:
            break
    return head[i:]


def top_level(head):
    """The indices of head's tokens outside any (), [] or {} group, and outside
    the angle brackets that follow 'template'."""
    out = []
    i = 0
    while i < len(head):
        t = head[i].text
        out.append(i)
        if t in OPENERS:
            i = match_group(head, i) + 1
            continue
        if t == "template" and i + 1 < len(head) and head[i + 1].text == "<":
            i = skip_angles(head, i + 1)
            continue
        i += 1
    return out


def parameter_paren(head):
    """Index in head of the ( opening the parameter list, or None."""
    angles = 0
    for i in top_level(head):
        t = head[i].text
        after_operator = i > 0 and head[i - 1].text == "operator"
        if t == "<" and not after_operator:
            angles += 1
        elif t in (">", ">>") and not after_operator and angles > 0:
            angles = max(0, angles - len(t))
        if t != "(" or i == 0 or angles > 0:
            continue
        prev = head[i - 1]
        if prev.text in NOT_PARAMETERS:
            continue
        if after_operator and i + 1 < len(head) and head[i + 1].text == ")":
            continue   # the name operator()
        if prev.kind == "id" or prev.text in (">", ">>") or operator_before(head, i):
            return i
    return None


def operator_before(head, paren):
    """Index of the 'operator' whose name ends at paren, or None."""
    for j in range(paren - 1, max(-1, paren - 9), -1):
        if head[j].text == "operator":
            return j
        if head[j].text in (";", "{", "}"):
            break
    return None


def function_name(head, paren):
    """The qualified name before the parameter list at paren."""
    j = operator_before(head, paren)
    if j is not None:
        rest = head[j + 1:paren]
        name = "".join(t.text for t in rest)
        name = "operator" + (" " if rest and rest[0].kind == "id" else "") + name
        start = j
        while start >= 2 and head[start - 1].text == "::" and head[start - 2].kind == "id":
            start -= 2
        return "".join(t.text for t in head[start:j]) + name
    j = paren - 1
    # Explicit template arguments: f<int>(...).
    if head[j].text in (">", ">>"):
        depth = 0
        while j >= 0:
            t = head[j].text
            depth += {">": 1, ">>": 2, "<": -1}.get(t, 0)
            if depth <= 0 and t == "<":
                j -= 1
                break
            j -= 1
    if j > 0 and head[j - 1].text == "~":
        j -= 1
    start = j
    # The qualification: A::B<T>::name.
    while start >= 2 and head[start - 1].text == "::":
        k = start - 2
        if head[k].text == ">":
            depth = 0
            while k >= 0:
                depth += {">": 1, ">>": 2, "<": -1}.get(head[k].text, 0)
                if depth <= 0 and head[k].text == "<":
                    break
                k -= 1
            k -= 1
        if k < 0 or head[k].kind != "id":
            break
        start = k
    return "".join(t.text for t in head[start:paren])


def classify(head):
    """What a { at declaration scope opens after head: 'scope' (a namespace, an
    extern "C" block, a class body), 'function', 'lambda', 'member-init' (a
    braced initialiser in a constructor's list), or 'other' (data)."""
    body = strip_prefix(head)
    if not body:
        return "other", None
    words = [t.text for t in body]
    if words[0] == "namespace" or words[:2] == ["inline", "namespace"]:
        return "scope", None
    if words[0] == "extern" and len(body) == 2 and body[1].kind == "str":
        return "scope", None
    tops = top_level(body)
    for i in tops:
        if words[i] == "=" and (i == 0 or words[i - 1] != "operator"):
            if i + 1 < len(body) and words[i + 1] == "[":
                name = words[i - 1] if i > 0 and body[i - 1].kind == "id" else "lambda"
                return "lambda", name
            return "other", None
    paren = parameter_paren(body)
    first = next((w for w in words if w not in ("static", "inline", "constexpr", "const", "friend",
                                                "extern", "volatile", "thread_local")), "")
    if first == "enum":
        return "other", None
    if first in ("class", "struct", "union") and paren is None:
        return "scope", None
    if paren is None:
        return "other", None
    # A constructor's initialiser list: ') :' after the parameters; there a
    # { after a name (or its template arguments) initialises a member.
    close = match_group(body, paren)
    rest = [t.text for t in body[close + 1:]]
    if ":" in rest and words[-1] not in (")", "}", "...", "try"):
        return "member-init", None
    return "function", function_name(body, paren)


def skip_to_semicolon(toks, i):
    """Index after the ; ending the declaration that goes on at toks[i]."""
    while i < len(toks):
        t = toks[i].text
        if t in OPENERS:
            i = match_group(toks, i) + 1
            continue
        if t == ";":
            return i + 1
        if t == "}":
            return i   # the scope ends first
        i += 1
    return i


def functions_in(text):
    """The functions of a source text, in every branch of its conditionals:
    the union of its readings (Conditionals), each function once."""
    first = lex(text)
    found = {}
    for choice in range(max(first.branches, default=1)):
        lexed = first if choice == 0 else lex(text, choice, first.branches)
        for fn in find_functions(lexed.tokens):
            found.setdefault((fn.start, fn.end, fn.name), fn)
    return first, sorted(found.values(), key=lambda f: (f.start, f.end))


def find_functions(toks):
    functions = []
    i = 0
    while i < len(toks):   # a stray } at file scope ends no more than itself
        i = scan_scope(toks, i, functions)
    functions.sort(key=lambda f: f.start)
    return functions


def scan_scope(toks, i, functions):
    """Reads declarations from toks[i] to the } closing the scope; returns the index after it."""
    head_start = i
    while i < len(toks):
        t = toks[i].text
        if t in ("(", "["):
            i = match_group(toks, i) + 1
            continue
        if t == ";":
            i += 1
            head_start = i
            continue
        if t == "}":
            return i + 1
        if t == ":" and i == head_start + 1 and toks[head_start].text in ACCESS:
            i += 1
            head_start = i
            continue
        if t != "{":
            i += 1
            continue
        kind, name = classify(toks[head_start:i])
        if kind == "scope":
            i = scan_scope(toks, i + 1, functions)
            words = [x.text for x in strip_prefix(toks[head_start:i])]
            if words and words[0] in ("class", "struct", "union") or "typedef" in words[:1]:
                i = skip_to_semicolon(toks, i)   # declarators after a class body
            head_start = i
        elif kind == "member-init":
            i = match_group(toks, i) + 1
        elif kind in ("function", "lambda"):
            end = match_group(toks, i)
            # A function-try-block's handlers belong to it.
            while end + 1 < len(toks) and toks[end + 1].text == "catch":
                j = end + 2
                if j < len(toks) and toks[j].text == "(":
                    j = match_group(toks, j) + 1
                if j < len(toks) and toks[j].text == "{":
                    end = match_group(toks, j)
                else:
                    break
            functions.append(Function(name, toks[head_start].line, toks[end].line))
            i = end + 1
            if kind == "lambda":
                i = skip_to_semicolon(toks, i)
            head_start = i
        else:
            i = match_group(toks, i) + 1
    return i


# --------------------------------------------------------------------------
# The tree's rules.

def source_files(root, area):
    out = []
    for d, dirs, files in os.walk(os.path.join(root, area)):
        dirs.sort()
        for f in sorted(files):
            if f.endswith(SOURCE_SUFFIXES):
                out.append(os.path.relpath(os.path.join(d, f), root))
    return out


def resolve(root, path, name, search):
    """The file (relative to root) a quoted include of name in path names: the
    including file's folder first, then the folders of search; None when
    none holds it."""
    for d in [os.path.dirname(path)] + list(search):
        candidate = os.path.normpath(os.path.join(d, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def area_of(path):
    parts = path.split(os.sep)
    if parts[0] == "host" and len(parts) > 1 and parts[1] == "include":
        return "host/include"
    return parts[0]


# Where a quoted include of each part is looked for (its build's include
# folders), and which parts it may land in.
SEARCH = {"lib": ["lib", "host", "host/include"],
          "modules": ["modules", "host/include"],
          "host": ["host", "host/include"]}
# Where else a quoted include is looked for, to name the part it belongs to.
WHEREVER = ["lib", "host", "host/include", "modules"] + list(FRONT_ENDS)
ALLOWED = {"lib": {"lib", "host", "host/include"},
           "modules": {"modules", "host/include"},
           "host": {"host", "host/include"}}


def check_includes(root, path, includes, breaches, edges):
    part = path.split(os.sep)[0]
    for line, quoted, name in includes:
        where = f"{path}:{line}"
        if not quoted:
            first = name.split("/")[0]
            if first in FRONT_ENDS:
                breaches.append(f"{where} includes <{name}>, a front end's header")
            elif part == "lib" and (name == "Python.h" or first == "pybind11"):
                breaches.append(f"{where} includes <{name}>: lib/ knows no Python")
            elif part == "modules" and not standard_header(name):
                breaches.append(f"{where} includes <{name}>: modules/ sees only host/include/ and the standard library")
            elif part == "host" and not system_header(name):
                breaches.append(f"{where} includes <{name}>: host/ knows no library beyond the standard and the system's")
            continue
        target = resolve(root, path, name, SEARCH[part])
        if target is None:
            # Name the part it would come from, if any holds it.
            target = resolve(root, path, name, WHEREVER)
            if target is None:
                allowed = ", ".join(d + "/" for d in SEARCH[part])
                breaches.append(f'{where} includes "{name}", which is in none of {allowed}')
                continue
        if area_of(target) not in ALLOWED[part]:
            breaches.append(f'{where} includes "{name}" = {target}: {part}/ may include only '
                            + ", ".join(sorted(d + "/" for d in ALLOWED[part])))
            continue
        if area_of(target) == part:
            edges.append((path, line, target))


def unit(path):
    return os.path.splitext(path)[0]


def find_circles(edges):
    """The circles of the include graph among units (a file's path without
    its suffix): one shortest circle for each strongly connected group, as a
    list of (path, line, target) edges, with the group's units."""
    graph = {}
    for path, line, target in edges:
        a, b = unit(path), unit(target)
        if a != b:
            graph.setdefault(a, {}).setdefault(b, (path, line, target))
            graph.setdefault(b, {})
    # Tarjan's strongly connected components, iteratively.
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    counter = [0]
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph[child]))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    x = stack.pop()
                    on_stack.discard(x)
                    group.append(x)
                    if x == node:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))
    circles = []
    for group in sorted(groups):
        members = set(group)
        first = group[0]
        # Breadth-first from the group's first unit back to itself.
        previous = {first: None}
        queue = [first]
        found = None
        while queue and found is None:
            nxt = []
            for a in queue:
                for b in sorted(graph[a]):
                    if b not in members:
                        continue
                    if b == first:
                        found = a
                        break
                    if b not in previous:
                        previous[b] = a
                        nxt.append(b)
                if found is not None:
                    break
            queue = nxt
        path = [first]
        node = found
        while node != first:
            path.append(node)
            node = previous[node]
        path.append(first)
        path.reverse()   # first -> ... -> found -> first
        circles.append((group, [graph[a][b] for a, b in zip(path, path[1:])]))
    return circles


def check_tree(root, list_longest=0):
    length_breaches, include_breaches, circle_breaches = [], [], []
    edges = {area: [] for area in AREAS}
    measured = []
    nfiles = 0
    for area in AREAS:
        for path in source_files(root, area):
            nfiles += 1
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                lexed, functions = functions_in(f.read())
            for fn in functions:
                measured.append((fn.lines, path, fn))
                if fn.lines > MAX_LINES:
                    length_breaches.append(f"{path}:{fn.start} {fn.name} {fn.lines} lines")
            check_includes(root, path, lexed.includes, include_breaches, edges[area])
    for area in CIRCLE_AREAS:
        for group, circle in find_circles(edges[area]):
            units = [unit(circle[0][0])] + [unit(t) for _, _, t in circle]
            lines = [f"include circle in {area}/: " + " -> ".join(units)]
            if len(group) > len(circle):
                lines[0] += f" (one of the circles among {', '.join(group)})"
            lines += [f"    {p}:{line} includes {t}" for p, line, t in circle]
            circle_breaches.append("\n".join(lines))

    measured.sort(key=lambda m: (-m[0], m[1], m[2].start))
    for n, path, fn in measured[:list_longest]:
        print(f"  {path}:{fn.start} {fn.name} {n} lines")
    ok = True
    for title, items in ((f"functions over {MAX_LINES} lines", length_breaches),
                         ("includes across the parts' borders", include_breaches),
                         ("circles of includes (a .cpp and its .h are one unit)", circle_breaches)):
        if items:
            ok = False
            print(f"{len(items)} {title}:")
            for item in items:
                print(f"  {item}")
    if ok:
        longest = measured[0] if measured else None
        tail = f", the longest {longest[2].name} ({longest[1]}:{longest[2].start}, {longest[0]} lines)" if longest else ""
        print(f"structure: {nfiles} files of {', '.join(a + '/' for a in AREAS)} keep the rules; "
              f"{len(measured)} functions{tail}")
    return ok


# --------------------------------------------------------------------------
# The counter's own checks, on the constructs that fool simple counting.

SELF_TESTS = [
    ("a plain function and a multi-line signature", """\
int f(int a) {
    return a;
}
std::vector<int>
long_signature(int a,
               int b) const noexcept
{
    if (a) { return {}; }
    return {a, b};
}
""", [("f", 1, 3), ("long_signature", 4, 10)]),
    ("braces in strings, characters, raw strings and comments; digit separators", r"""
void g() {
    const char* s = "{ \" {";
    char c = '{', d = '\'', e = '}';
    auto r = R"x(})" { )x";
    auto u = u8"{", w = L'}';
    int big = 1'000'000;   // }
    /* } } */
    char q = '}';
}
int after() { return 0; }
""", [("g", 2, 10), ("after", 11, 11)]),
    ("a constructor's initialiser list with braced members", """\
Foo::Foo(int a, int b)
    : Base<int>{a},
      x_{b}, y_(a),
      z_{} {
    run();
}
Foo::~Foo() {}
""", [("Foo::Foo", 1, 6), ("Foo::~Foo", 7, 7)]),
    ("lambdas inside a function, and one bound to a variable outside any", """\
namespace {
const auto square = [](int x) {
    return x * x;
};
void h() {
    auto k = [&](int y) {
        return y;
    };
    k([] { return 1; }());
}
}  // namespace
""", [("square", 2, 4), ("h", 5, 10)]),
    ("member functions in class bodies, nested classes, data members", """\
class A : public B<int> {
public:
    A() = default;
    explicit A(int n) : n_(n) {}
    int get() const { return n_; }
    struct Inner {
        void f() {
        }
    } inner;
    bool operator()(int a) const {
        return a == n_;
    }
    A& operator=(const A&) { return *this; }
    friend bool operator<(const A& a, const A& b) { return a.n_ < b.n_; }
    explicit operator bool() const { return n_; }
private:
    int n_{3};
    std::vector<int> v_ = {1, 2, 3};
};
""", [("A", 4, 4), ("get", 5, 5), ("f", 7, 8), ("operator()", 10, 12), ("operator=", 13, 13),
      ("operator<", 14, 14), ("operator bool", 15, 15)]),
    ("templates, trailing return types, attributes, specialisations", """\
template <typename T, int N = 3,
          typename U = std::enable_if_t<(N > 1)>>
[[nodiscard]] T twice(T x) {
    return x + x;
}
auto sum(int a) -> std::vector<int> {
    return {a};
}
template <>
int twice<int>(int x) { return 2 * x; }
template <typename T>
T Box<T>::get() const {
    return v;
}
""", [("twice", 1, 5), ("sum", 6, 8), ("twice<int>", 9, 10), ("Box<T>::get", 11, 14)]),
    ("namespaces, extern C, enums, static_assert, data with braces", """\
namespace a::b {
extern "C" {
int c_function(void) { return 0; }
}
enum class Kind : int { one, two };
static_assert(sizeof(int) == 4, "{");
struct alignas(16) Lane { float v[4]; };
constexpr int table[] = {1, 2, 3};
extern "C" __attribute__((visibility("default"))) int Exported(int x) {
    return x;
}
}
""", [("c_function", 3, 3), ("Exported", 9, 11)]),
    ("preprocessor lines and conditionals with unbalanced branches", """\
#define OPEN {
#define MULTI(x) \\
    { x; }
int p(int a) {
#if defined(WIDE)
    if (a) {
#else
    if (!a) {
#endif
        a = 1;
    }
#if 0
    }
#endif
    return a;   // a comment going on \\
    to the next line }
}
""", [("p", 4, 17)]),
    ("functions in every branch of a conditional", """\
#if defined(WIDE)
inline int wide(int a) { return a; }
#elif defined(MEDIUM)
inline int medium(int a) {
    return a;
}
#else
inline int narrow(int a) { return a; }
#endif
#ifdef X
int x() {
#else
int x(long) {
#endif
    return 0;
}
""", [("wide", 2, 2), ("medium", 4, 6), ("narrow", 8, 8), ("x", 11, 16), ("x", 13, 16)]),
    ("data members with braces and parentheses, escapes, requires, decltype(auto)", r"""
struct S {
    std::function<void(int)> callback{};
    alignas(64) float buffer[16]{};
    std::array<int, 3> three{1, 2, 3};
    char backslash = '\\', brace = '{';
    const char* quoted = "\"{\\";
    decltype(auto) get() { return (three); }
};
S::operator bool() const {
    return true;
}
template <class T>
    requires(sizeof(T) > 1) && std::integral<T>
T twice(T a) {
    return a + a;
}
""", [("get", 8, 8), ("S::operator bool", 10, 12), ("twice", 13, 17)]),
    ("a function-try-block and a local class", """\
void t() try {
    struct Local { int m() { return 1; } };
} catch (const std::exception& e) {
    log(e);
} catch (...) {
}
int next() { return 1; }
""", [("t", 1, 6), ("next", 7, 7)]),
]


def self_test():
    failures = []
    for title, source, expected in SELF_TESTS:
        got = [(f.name, f.start, f.end) for f in functions_in(source)[1]]
        if got != expected:
            failures.append(f"{title}:\n    expected {expected}\n    got      {got}")
    lexed = lex('#include "a.h"\n# include <vector>\n#if 0\n#include "b.h"\n#endif\n')
    if lexed.includes != [(1, True, "a.h"), (2, False, "vector"), (4, True, "b.h")]:
        failures.append(f"includes: got {lexed.includes}")
    edges = [("lib/x/a.cpp", 3, "lib/x/b.h"), ("lib/x/b.cpp", 4, "lib/x/c.h"), ("lib/x/c.h", 5, "lib/x/a.h"),
             ("lib/x/a.h", 1, "lib/x/d.h"), ("lib/x/d.cpp", 1, "lib/x/d.h")]
    circles = find_circles(edges)
    want = [(["lib/x/a", "lib/x/b", "lib/x/c"],
             [("lib/x/a.cpp", 3, "lib/x/b.h"), ("lib/x/b.cpp", 4, "lib/x/c.h"), ("lib/x/c.h", 5, "lib/x/a.h")])]
    if circles != want:
        failures.append(f"circles: expected {want}\n    got {circles}")
    with tempfile.TemporaryDirectory() as root:
        files = {"lib/p/a.cpp": '#include "p/a.h"\n#include "commands.h"\n#include "host.h"\n#include <pybind11/pybind11.h>\n',
                 "lib/p/a.h": '#include "../../cli/commands.h"\n',
                 "cli/commands.h": "",
                 "host/host.h": '#include "p/a.h"\n#include <netcdf.h>\n#include "nowhere.h"\n#include <sys/mman.h>\n',
                 "modules/M.cpp": '#include "frame.h"\n#include "om.h"\n#include "host.h"\n#include <vtkNew.h>\n',
                 "modules/frame.h": "", "host/include/om.h": ""}
        for name, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        breaches = []
        for path in ("lib/p/a.cpp", "lib/p/a.h", "host/host.h", "modules/M.cpp"):
            with open(os.path.join(root, path)) as f:
                check_includes(root, path, lex(f.read()).includes, breaches, [])
        want = [
            'lib/p/a.cpp:2 includes "commands.h" = cli/commands.h: lib/ may include only host/, host/include/, lib/',
            "lib/p/a.cpp:4 includes <pybind11/pybind11.h>: lib/ knows no Python",
            'lib/p/a.h:1 includes "../../cli/commands.h" = cli/commands.h: lib/ may include only host/, host/include/, lib/',
            'host/host.h:1 includes "p/a.h" = lib/p/a.h: host/ may include only host/, host/include/',
            "host/host.h:2 includes <netcdf.h>: host/ knows no library beyond the standard and the system's",
            'host/host.h:3 includes "nowhere.h", which is in none of host/, host/include/',
            'modules/M.cpp:3 includes "host.h" = host/host.h: modules/ may include only host/include/, modules/',
            "modules/M.cpp:4 includes <vtkNew.h>: modules/ sees only host/include/ and the standard library"]
        if breaches != want:
            failures.append("include rules:\n    expected " + "\n             ".join(want)
                            + "\n    got      " + "\n             ".join(breaches))
    for f in failures:
        print(f"check-structure's own check failed: {f}")
    if not failures:
        print(f"check-structure: its counter and include rules pass their {len(SELF_TESTS) + 3} checks")
    return not failures


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                   help="the source tree (default: the one this script is in)")
    p.add_argument("--self-test", action="store_true", help="check the counter and the include rules on made-up cases")
    p.add_argument("--list", type=int, default=0, metavar="N", help="print the N longest functions first")
    a = p.parse_args()
    if a.self_test:
        return 0 if self_test() else 1
    return 0 if check_tree(a.root, a.list) else 1


if __name__ == "__main__":
    sys.exit(main())
