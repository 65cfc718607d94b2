#!/usr/bin/env python3
"""A real set of sentence vectors from the documentation Debian ships.

    python bench/realdata.py [--out DIR] [--dim D] [--n N] [--queries Q]
    python bench/realdata.py --self-check

Text comes from installed documentation packages (HTML manuals, roff man
pages, POD): markup is stripped, paragraphs are split into sentences,
whitespace is normalised, sentences of fewer than 5 words, code-like lines
and exact duplicates (after lowercasing; licence boilerplate repeats a lot)
are dropped, and the rest is shuffled with a fixed seed.  The first Q
sentences of that order are the queries, the next N the corpus, so no query
is a corpus sentence.  fastText (unsupervised, at most 2 threads) is trained
on a prefix of the corpus sentences, and every sentence gets its
`get_sentence_vector` (float32).  Sentences whose vector is zero (no word in
the vocabulary) or not finite are skipped in that order, so none is stored.

Writes into DIR (default build/data under the repository root):
  corpus.npy     (N, D) float32, row i is line i of sentences.txt
  queries.npy    (Q, D) float32, row i is line i of queries.txt
  sentences.txt, queries.txt
  info.json      sources (packages, versions), counts, settings, seeds, timings

A second run with the same inputs (package versions, sizes, settings) finds
info.json matching and reuses the files.  Nothing is installed here: missing
packages are named with the apt-get line that installs them.
"""
from __future__ import annotations

import argparse
import glob
import gzip
import html
import html.parser
import json
import os
import re
import subprocess
import sys
import tempfile
import time

SCRIPT_VERSION = 1
SEED = 20261209
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Debian packages read, and how: (package, files of it to read, format).
# Each manual is read in one form only (Sphinx builds also ship their
# sources as text; git-doc ships the asciidoc beside the HTML).
SOURCES = [
    ("python3.11-doc", r"/html/(?!_sources/|genindex|py-modindex|search\.html).*\.html$", "html"),
    ("linux-doc-6.1", r"/html/(?!_sources/|genindex|search\.html).*\.html$", "html"),
    ("postgresql-doc-15", r"\.html$", "html"),
    ("python-django-doc", r"/html/(?!_sources/|_modules/|genindex|py-modindex|search\.html).*\.html$", "html"),
    ("git-doc", r"\.html$", "html"),
    ("debian-reference-en", r"\.en\.html$", "html"),
    ("octave-doc", r"\.html$", "html"),
    ("sqlite3-doc", r"\.html$", "html"),
    ("linux-doc-6.1", r"/Documentation/.*\.txt\.gz$", "text"),
    ("perl-doc", r"/pod/[^/]*\.pod$", "pod"),
    ("manpages", r"/man/man\d/[^/]*\.gz$", "roff"),
    ("manpages-dev", r"/man/man\d/[^/]*\.gz$", "roff"),
    ("tcl8.6-doc", r"/man/man\w+/[^/]*\.gz$", "roff"),
]
PY_PKGS = {"numpy": "python3-numpy", "fasttext": "python3-fasttext"}

MIN_WORDS = 5
MAX_WORDS = 80
FASTTEXT = dict(model="cbow", epoch=5, lr=0.05, minCount=5, wordNgrams=1,
                minn=0, maxn=0, ws=5, neg=5, thread=2)
TRAIN_SENTENCES = 200_000


# ---------------------------------------------------------------- extraction
# Every extractor returns paragraphs: strings of running text in which a
# sentence may end anywhere but never crosses into the next string.

class _HtmlText(html.parser.HTMLParser):
    """Paragraph text of an HTML page: block elements end a paragraph, the
    contents of script/style/pre and of navigation blocks are dropped."""

    BLOCK = {"p", "div", "li", "ul", "ol", "dl", "dt", "dd", "h1", "h2", "h3", "h4", "h5",
             "h6", "table", "tr", "td", "th", "br", "section", "blockquote", "title",
             "caption", "figure", "header", "footer", "hr", "body", "article"}
    SKIP = {"script", "style", "pre", "head", "nav", "noscript", "svg", "math", "textarea"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.paras: list[str] = []
        self.cur: list[str] = []
        self.skip = 0

    def _end(self):
        if self.cur:
            self.paras.append("".join(self.cur))
            self.cur = []

    def handle_starttag(self, tag, attrs):
        if tag in self.SKIP:
            self.skip += 1
        elif tag in self.BLOCK:
            self._end()

    def handle_endtag(self, tag):
        if tag in self.SKIP:
            self.skip = max(0, self.skip - 1)
        elif tag in self.BLOCK:
            self._end()

    def handle_startendtag(self, tag, attrs):
        if tag in self.BLOCK:
            self._end()

    def handle_data(self, data):
        if not self.skip:
            self.cur.append(data)


def html_paragraphs(text: str) -> list[str]:
    p = _HtmlText()
    p.feed(text)
    p.close()
    p._end()
    return p.paras


_ROFF_ESC = [
    (re.compile(r"\\f(\[[^\]]*\]|\(..|.)"), ""),          # font changes
    (re.compile(r"\\s[+-]?(\d|\[\d+\]|\(\d\d)"), ""),     # size changes
    (re.compile(r"\\\*(\[[^\]]*\]|\(..|.)"), ""),          # strings
    (re.compile(r"\\\((em|en|hy)"), "-"),
    (re.compile(r"\\\((aq|cq|oq)"), "'"),
    (re.compile(r"\\\((dq|lq|rq)"), '"'),
    (re.compile(r"\\\(..|\\\[[^\]]*\]"), ""),              # other glyphs
    (re.compile(r"\\[-e]"), lambda m: "-" if m.group(0) == "\\-" else "\\"),
    (re.compile(r"\\[~0 ]"), " "),
    (re.compile(r"\\[&|^c%:]"), ""),
    (re.compile(r"\\(.)"), r"\1"),
]
_ROFF_ARGS = re.compile(r'"((?:[^"]|"")*)"|(\S+)')
_ROFF_TEXT_MACROS = {"B", "I", "SM", "SB"}                  # arguments joined by spaces
_ROFF_ALT_MACROS = {"BR", "RB", "BI", "IB", "IR", "RI"}     # arguments joined directly
_ROFF_SKIP = {"nf": "fi", "EX": "EE", "TS": "TE", "EQ": "EN", "de": ".", "ig": ".", "CS": "CE"}


def roff_inline(s: str) -> str:
    for pat, rep in _ROFF_ESC:
        s = pat.sub(rep, s)
    return s


def roff_paragraphs(text: str) -> list[str]:
    """Running text of a man page: requests and macros end a paragraph (the
    font macros keep their arguments), examples, tables and macro
    definitions are dropped, escapes are resolved or removed."""
    paras: list[str] = []
    cur: list[str] = []
    end_skip = None

    def flush():
        if cur:
            paras.append(" ".join(cur))
            cur.clear()

    for line in text.splitlines():
        if end_skip is not None:
            if line.startswith("." + end_skip) or (end_skip == "." and line.startswith("..")):
                end_skip = None
            continue
        if line.startswith((".\\\"", "'\\\"", "\\\"")):
            continue
        if line[:1] in (".", "'"):
            parts = line[1:].strip().split(None, 1)
            if not parts:
                continue
            name, rest = parts[0], (parts[1] if len(parts) > 1 else "")
            if name in _ROFF_SKIP:
                flush()
                end_skip = _ROFF_SKIP[name]
            elif name in _ROFF_TEXT_MACROS or name in _ROFF_ALT_MACROS:
                args = [(q if q is not None and a == "" else a) for q, a in
                        ((m.group(1), m.group(2) or "") for m in _ROFF_ARGS.finditer(rest))]
                args = [a.replace('""', '"') for a in args]
                sep = " " if name in _ROFF_TEXT_MACROS else ""
                cur.append(roff_inline(sep.join(args)))
            else:
                flush()
            continue
        if not line.strip():
            flush()
            continue
        cur.append(roff_inline(line))
    flush()
    return paras


_POD_CODES = re.compile(r"[A-Z]<([^<>]*)>")
_POD_DOUBLE = re.compile(r"[A-Z]<<+\s+(.*?)\s+>>+", re.S)


def _pod_code(m: re.Match) -> str:
    code, inner = m.group(0)[0], m.group(1)
    if code in "XZ":
        return ""
    if code == "E":
        return {"lt": "<", "gt": ">", "verbar": "|", "sol": "/"}.get(inner, "")
    if code == "L":
        if "|" in inner:
            return inner.split("|", 1)[0]
        return inner.split("/")[0].strip('"') or inner.split("/")[-1].strip('"')
    return inner


def pod_inline(s: str) -> str:
    # C<< a->b >>: the angle brackets inside are literal; hide them while
    # the codes are resolved innermost first.
    s = _POD_DOUBLE.sub(lambda m: m.group(0)[0] + "<" + m.group(1).replace("<", "\x00")
                        .replace(">", "\x01") + ">", s)
    for _ in range(8):
        t = _POD_CODES.sub(_pod_code, s)
        if t == s:
            break
        s = t
    return s.replace("\x00", "<").replace("\x01", ">")


def pod_paragraphs(text: str) -> list[str]:
    """Ordinary paragraphs of a POD document: command paragraphs (=head,
    =item, ...), verbatim (indented) paragraphs and =begin/=for blocks are
    dropped; formatting codes keep their text."""
    paras: list[str] = []
    in_pod, skip_to = True, None
    for block in re.split(r"\n[ \t]*\n", text):
        if not block.strip():
            continue
        first = block.lstrip("\n")
        if skip_to is not None:
            if first.startswith(skip_to):
                skip_to = None
            continue
        if first.startswith("="):
            cmd = first.split(None, 1)[0]
            if cmd == "=cut":
                in_pod = False
            elif cmd == "=begin":
                in_pod = True
                skip_to = "=end"
            else:
                in_pod = True
            continue
        if not in_pod or first[:1] in (" ", "\t"):
            continue
        paras.append(pod_inline(first).strip())
    return paras


_UNDERLINE = re.compile(r"^\s*([=\-~^*#+_])\1{2,}\s*$")


def text_paragraphs(text: str) -> list[str]:
    """Paragraphs of a plain-text document (blank-line separated):
    indented paragraphs (examples, literal blocks, diagrams), heading
    underlines and directive lines are dropped."""
    paras = []
    for block in re.split(r"\n[ \t]*\n", text):
        lines = [ln for ln in block.split("\n") if ln.strip() and not _UNDERLINE.match(ln)
                 and not ln.lstrip().startswith(".. ")]
        if not lines or all(ln.startswith(("\t", "    ")) for ln in lines):
            continue
        paras.append(" ".join(ln.strip() for ln in lines).replace("``", ""))
    return paras


EXTRACT = {"text": text_paragraphs, "html": html_paragraphs, "roff": roff_paragraphs, "pod": pod_paragraphs}

# A sentence ends at . ! or ? followed by space and a capital letter, digit
# or opening quote/bracket; a few abbreviations don't end one.
_SPLIT = re.compile(r"[.!?][\"')\]]*(?=\s+[\"'(\[]?[A-Z0-9])")
_ABBREV = re.compile(r"(?:\b(?:e\.g|i\.e|etc|vs|cf|Mr|Dr|Fig|Sec|No|resp|approx|incl)\.|\b[A-Z]\.)$")
_WS = re.compile(r"\s+")
_WORD = re.compile(r"[A-Za-z]{2,}")


def normalise(s: str) -> str:
    return _WS.sub(" ", s).strip()


def split_sentences(paragraph: str) -> list[str]:
    text = normalise(paragraph)
    if not text:
        return []
    out: list[str] = []
    pos = 0
    for m in _SPLIT.finditer(text):
        if _ABBREV.search(text, pos, m.start() + 1):
            continue
        out.append(text[pos:m.end()].strip())
        pos = m.end()
    out.append(text[pos:].strip())
    return [s for s in out if s]


def keep_sentence(s: str) -> bool:
    """At least MIN_WORDS words, at most MAX_WORDS, and prose rather than
    code or a table row: most words are alphabetic and letters make up
    most of the characters."""
    words = s.split()
    if not MIN_WORDS <= len(words) <= MAX_WORDS:
        return False
    alpha = sum(1 for w in words if _WORD.fullmatch(w.strip(".,;:!?\"'()[]")))
    letters = sum(c.isalpha() for c in s)
    return alpha >= MIN_WORDS and alpha * 2 >= len(words) and letters * 10 >= len(s.replace(" ", "")) * 7


def sentences_of(paragraphs: list[str]) -> list[str]:
    return [s for p in paragraphs for s in split_sentences(p) if keep_sentence(s)]


_TOKEN = re.compile(r"[a-z0-9]+(?:['_.-][a-z0-9]+)*")


def tokens(s: str) -> str:
    """The form fastText sees, in training and at inference: lowercase
    words (inner ' _ . - kept), punctuation dropped."""
    return " ".join(_TOKEN.findall(s.lower()))


def dedupe(sentences):
    """Exact duplicates after lowercasing dropped, first occurrence kept."""
    seen: set[str] = set()
    out = []
    for s in sentences:
        k = s.lower()
        if k not in seen:
            seen.add(k)
            out.append(s)
    return out


def _read_file(job):
    path, fmt = job
    try:
        if path.endswith(".gz"):
            with gzip.open(path, "rb") as f:
                raw = f.read()
        else:
            with open(path, "rb") as f:
                raw = f.read()
        text = raw.decode("utf-8", errors="replace")
        if fmt == "roff" and text.lstrip().startswith(".so "):
            return []
        return sentences_of(EXTRACT[fmt](text))
    except (OSError, EOFError, AssertionError, ValueError):
        return []


# ------------------------------------------------------------------- packages

def pkg_version(name: str) -> str | None:
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}\t${Version}", name],
                       capture_output=True, text=True)
    if r.returncode != 0 or not r.stdout.startswith("install ok installed"):
        return None
    return r.stdout.split("\t", 1)[1]


def pkg_files(name: str, pattern: str) -> list[str]:
    r = subprocess.run(["dpkg-query", "-L", name], capture_output=True, text=True, check=True)
    rx = re.compile(pattern)
    return sorted(p for p in r.stdout.splitlines() if rx.search(p) and os.path.isfile(p))


def check_packages() -> dict[str, str]:
    missing, versions = [], {}
    for name, _, _ in SOURCES:
        v = pkg_version(name)
        if v is None:
            missing.append(name)
        else:
            versions[name] = v
    for mod, pkg in PY_PKGS.items():
        try:
            __import__(mod)
            versions[pkg] = pkg_version(pkg) or "?"
        except ImportError:
            missing.append(pkg)
    if missing:
        print("missing Debian packages; run as root:", file=sys.stderr)
        print("  apt-get install -y --no-install-recommends " + " ".join(missing), file=sys.stderr)
        sys.exit(2)
    return versions


# ---------------------------------------------------------------------- build

def extract_all(workers: int):
    from multiprocessing import Pool
    per_source, everything = [], []
    with Pool(workers) as pool:
        for name, pattern, fmt in SOURCES:
            files = pkg_files(name, pattern)
            got = 0
            for sents in pool.imap(_read_file, [(p, fmt) for p in files], chunksize=8):
                got += len(sents)
                everything.extend(sents)
            per_source.append({"package": name, "format": fmt, "files": len(files),
                               "sentences": got})
    return per_source, everything


def atomic_save(path: str, write):
    d = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=d, prefix=".tmp-", suffix=os.path.basename(path))
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def build(args) -> None:
    versions = check_packages()
    import numpy as np
    import fasttext

    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    settings = dict(FASTTEXT, dim=args.dim)
    key = {"script": SCRIPT_VERSION, "packages": versions, "dim": args.dim, "n": args.n,
           "queries": args.queries, "seed": SEED, "fasttext": settings,
           "train_sentences": args.train}
    info_path = os.path.join(out, "info.json")
    names = ["corpus.npy", "queries.npy", "sentences.txt", "queries.txt"]
    if os.path.exists(info_path) and all(os.path.exists(os.path.join(out, f)) for f in names):
        with open(info_path) as f:
            old = json.load(f)
        if old.get("key") == key:
            print(f"{out}: up to date ({old['counts']['corpus']} x {args.dim} corpus, "
                  f"{old['counts']['queries']} queries); reusing")
            return

    t0 = time.perf_counter()
    per_source, raw = extract_all(workers=2)
    unique = dedupe(raw)
    t_extract = time.perf_counter() - t0
    print(f"extracted {len(raw)} sentences, {len(unique)} unique, in {t_extract:.1f} s")
    for s in per_source:
        print(f"  {s['package']:<20} {versions[s['package']]:<22} {s['files']:>6} files "
              f"{s['sentences']:>8} sentences")

    rng = np.random.default_rng(SEED)
    order = rng.permutation(len(unique))
    toks = [tokens(unique[i]) for i in order]
    need = args.n + args.queries
    if len(unique) < need:
        sys.exit(f"only {len(unique)} unique sentences; ask for fewer (--n, --queries)")

    # Train on a prefix of the corpus part (the queries stay unseen).
    t1 = time.perf_counter()
    train_n = min(args.train, args.n)
    with tempfile.NamedTemporaryFile("w", dir=out, prefix=".train-", suffix=".txt",
                                     delete=False) as f:
        train_path = f.name
        for t in toks[args.queries:args.queries + train_n]:
            f.write(t + "\n")
    try:
        model = fasttext.train_unsupervised(train_path, verbose=0, **settings)
    finally:
        os.unlink(train_path)
    train_tokens = sum(len(t.split()) for t in toks[args.queries:args.queries + train_n])
    t_train = time.perf_counter() - t1
    print(f"trained fastText {settings['model']} dim {args.dim} on {train_n} sentences "
          f"({train_tokens} tokens, {len(model.words)} words) in {t_train:.1f} s")

    # Sentence vectors in the shuffled order; rows that are zero or not
    # finite are skipped and the next sentence takes their place.
    t2 = time.perf_counter()
    picked: list[int] = []
    vecs = []
    dropped = 0
    i = 0
    targets = (args.queries, args.n)
    parts: list[tuple[list[int], np.ndarray]] = []
    for target in targets:
        rows, pv = [], np.empty((target, args.dim), np.float32)
        while len(rows) < target:
            if i >= len(toks):
                sys.exit(f"ran out of sentences with in-vocabulary words at {i}")
            v = model.get_sentence_vector(toks[i])
            if np.all(np.isfinite(v)) and np.any(v != 0):
                pv[len(rows)] = v
                rows.append(i)
            else:
                dropped += 1
            i += 1
        parts.append((rows, pv))
    t_infer = time.perf_counter() - t2
    (q_rows, Q), (c_rows, X) = parts
    print(f"sentence vectors for {len(q_rows)} queries and {len(c_rows)} corpus sentences "
          f"in {t_infer:.1f} s ({dropped} without in-vocabulary words skipped)")
    assert np.isfinite(X).all() and np.isfinite(Q).all()
    assert (np.abs(X).max(axis=1) > 0).all() and (np.abs(Q).max(axis=1) > 0).all()

    def save_txt(path, rows):
        atomic_save(path, lambda tmp: open(tmp, "w", encoding="utf-8").write(
            "".join(unique[order[r]] + "\n" for r in rows)))

    def save_npy(path, a):
        def w(tmp):
            with open(tmp, "wb") as f:
                np.save(f, a)
        atomic_save(path, w)

    if os.path.exists(info_path):
        os.unlink(info_path)               # stale until the new data is complete
    save_npy(os.path.join(out, "corpus.npy"), X)
    save_npy(os.path.join(out, "queries.npy"), Q)
    save_txt(os.path.join(out, "sentences.txt"), c_rows)
    save_txt(os.path.join(out, "queries.txt"), q_rows)
    total = time.perf_counter() - t0
    info = {
        "key": key,
        "sources": [dict(s, version=versions[s["package"]]) for s in per_source],
        "tools": {p: versions[p] for p in PY_PKGS.values()},
        "counts": {"sentences_extracted": len(raw), "sentences_unique": len(unique),
                   "skipped_no_vocabulary": dropped, "queries": len(q_rows),
                   "corpus": len(c_rows), "train_sentences": train_n,
                   "train_tokens": train_tokens, "vocabulary": len(model.words)},
        "dim": args.dim,
        "fasttext": settings,
        "seeds": {"shuffle": SEED, "fasttext": "fastText 0.9.2's fixed default; 2 threads make training order-dependent"},
        "filters": {"min_words": MIN_WORDS, "max_words": MAX_WORDS,
                    "dedupe": "exact, after lowercasing"},
        "timings_s": {"extract": round(t_extract, 1), "train": round(t_train, 1),
                      "vectors": round(t_infer, 1), "total": round(total, 1)},
        "files": {"corpus.npy": "corpus vectors, row i = line i of sentences.txt",
                  "queries.npy": "query vectors, row i = line i of queries.txt"},
    }
    atomic_save(info_path, lambda tmp: open(tmp, "w").write(json.dumps(info, indent=1) + "\n"))
    print(f"wrote {out} in {total:.1f} s")
    show_examples(out, 3)


def show_examples(out: str, count: int, k: int = 5) -> None:
    """Exact cosine top-k of the first `count` queries, for a look."""
    import numpy as np
    X = np.load(os.path.join(out, "corpus.npy"), mmap_mode="r")
    Q = np.load(os.path.join(out, "queries.npy"))[:count]
    with open(os.path.join(out, "sentences.txt"), encoding="utf-8") as f:
        corpus = f.read().split("\n")
    with open(os.path.join(out, "queries.txt"), encoding="utf-8") as f:
        queries = f.read().split("\n")
    Qn = Q / np.linalg.norm(Q, axis=1, keepdims=True)
    best = [[] for _ in range(count)]
    for s in range(0, X.shape[0], 100_000):
        B = np.asarray(X[s:s + 100_000])
        S = (B @ Qn.T) / np.linalg.norm(B, axis=1)[:, None]
        for j in range(count):
            top = np.argpartition(-S[:, j], k)[:k]
            best[j] += [(float(S[t, j]), s + int(t)) for t in top]
    for j in range(count):
        print(f"\nquery: {queries[j]}")
        for sc, r in sorted(best[j], reverse=True)[:k]:
            print(f"  {sc:.3f}  {corpus[r]}")


# ----------------------------------------------------------------- self-check

def self_check() -> None:
    h = html_paragraphs("<html><head><title>T</title><style>p{}</style></head><body>"
                        "<p>The <code>open()</code> call returns a file. It may fail!</p>"
                        "<pre>x = 1. Y = 2.</pre><ul><li>One item &amp; more</li></ul></body>")
    assert h == ["The open() call returns a file. It may fail!", "One item & more"], h
    r = roff_paragraphs('.TH OPEN 2\n.\\" comment\n.SH DESCRIPTION\nThe\n.BR open (2)\n'
                        'call opens \\fIpathname\\fP \\- see\n.B "two words"\nbelow.\n'
                        '.nf\ncode line\n.fi\n.PP\nNext para\\(emhere.\n')
    assert r == ["The open(2) call opens pathname - see two words below.",
                 "Next para-here."], r
    p = pod_paragraphs("=head1 NAME\n\nUse C<print> and L<perlfunc/open> or "
                       "B<< a->b >> E<lt>here E<gt>.\n\n    verbatim code;\n\n"
                       "=begin html\n\n<b>x</b>\n\n=end html\n\nLast X<index>one.\n")
    assert p == ["Use print and perlfunc or a->b <here >.", "Last one."], p
    s = split_sentences("  This is one, e.g. with an abbreviation.  Then\n another  "
                        "sentence follows here! (A third one is here.) 4 is last?")
    assert s == ["This is one, e.g. with an abbreviation.", "Then another sentence follows here!",
                 "(A third one is here.)", "4 is last?"], s
    assert keep_sentence("This sentence has exactly five words.")
    assert not keep_sentence("Only four words here.")
    assert not keep_sentence("x = foo(a, b); y = bar(c, d); z = 1;")
    assert dedupe(["Same Words here.", "same words here.", "Other."]) == ["Same Words here.",
                                                                          "Other."]
    assert tokens("Call os.path.join() (see PEP 8), don't!") == "call os.path.join see pep 8 don't"
    t = text_paragraphs("Title\n=====\n\nSome prose\ncontinues ``here``.\n\n"
                        "    literal block\n\tmore\n\n.. note:: x\nLast.\n")
    assert t == ["Title", "Some prose continues here.", "Last."], t
    print("self-check passed")


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default=os.path.join(REPO, "build", "data"))
    ap.add_argument("--dim", type=int, default=384, help="vector size, a multiple of 64")
    ap.add_argument("--n", type=int, default=500_000, help="corpus sentences")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--train", type=int, default=TRAIN_SENTENCES,
                    help="corpus sentences fastText is trained on")
    ap.add_argument("--self-check", action="store_true",
                    help="check the extraction and splitting on a few lines, then exit")
    args = ap.parse_args(argv)
    if args.self_check:
        self_check()
        return
    if args.dim <= 0 or args.dim % 64:
        ap.error("--dim must be a positive multiple of 64")
    if args.n <= 0 or args.queries <= 0:
        ap.error("--n and --queries must be positive")
    build(args)


if __name__ == "__main__":
    main()
