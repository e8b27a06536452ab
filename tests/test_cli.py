"""The ``ratiokit`` command line, run as a user would: ``python -m ratiokit`` in a subprocess."""

import json
import os
import re
import shutil
import subprocess
import sys
from importlib import metadata

import pytest

import ratiokit

NAMES = ["parse_header(line)", "parse_headers(lines)", "write_header(out, line)", "close()",
         "parse_header(text)"]
# Blank line after "close()": it is skipped, but later identifiers keep their real line numbers.
NAMES_FILE = "\n".join(NAMES[:4]) + "\n\n" + NAMES[4] + "\n"
NAME_IDS = ["names.txt:1", "names.txt:2", "names.txt:3", "names.txt:4", "names.txt:6"]

BASE = "the quick brown fox jumps over the lazy dog and keeps on running far away"
NEAR = [BASE + f" {k}" for k in range(10)]  # ten near-duplicates: enough pairs for progress lines

SRC_A = "def area(width, height):\n    return width * height\n"
SRC_B = "def area( width,height ) :\n    return width*height\n"  # same tokens, other spacing
SRC_C = "class Shape:\n    sides = 4\n"


def run(cwd, *args, stdin=None, env=None, timeout=60, prefix=(), **streams):
    full_env = dict(os.environ)
    full_env.pop("RATIOKIT_PROGRESS", None)
    full_env.update(env or {})
    if not streams:
        streams = {"capture_output": True}
    return subprocess.run(
        [*prefix, sys.executable, "-m", "ratiokit", *args],
        cwd=cwd, input=stdin, env=full_env, timeout=timeout, **streams,
    )


def unprivileged(work):
    """A command prefix under which file permissions bind: none for an ordinary user; for root,
    setpriv without the capabilities that let root read and search everything."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root, and no setpriv to drop root's file access with")
    prefix = [setpriv, "--bounding-set=-dac_override,-dac_read_search"]
    probe = work / "probe"
    probe.mkdir()
    probe.chmod(0)
    try:
        done = subprocess.run([*prefix, sys.executable, "-c", f"import os; os.listdir({str(probe)!r})"],
                              capture_output=True, timeout=60)
    finally:
        probe.chmod(0o755)
        probe.rmdir()
    if done.returncode == 0 or b"PermissionError" not in done.stderr:
        pytest.skip(f"running as root, and setpriv could not drop root's file access: {done.stderr!r}")
    return prefix


def out_lines(done):
    return done.stdout.decode().splitlines()


def tsv_rows(done):
    lines = out_lines(done)
    return lines[0].split("\t"), [line.split("\t") for line in lines[1:]]


def jsonl(done):
    return [json.loads(line) for line in out_lines(done)]


@pytest.fixture
def work(tmp_path):
    (tmp_path / "names.txt").write_text(NAMES_FILE)
    (tmp_path / "near.txt").write_text("\n".join(NEAR) + "\n")
    src = tmp_path / "src"
    (src / "sub").mkdir(parents=True)
    (src / "a.py").write_text(SRC_A)
    (src / "sub" / "b.py").write_text(SRC_B)
    (src / "c.py").write_text(SRC_C)
    (src / "notes.txt").write_text(SRC_A)
    return tmp_path


def expected_clusters(texts, ids, threshold):
    return [
        ([ids[m] for m in members], score)
        for members, score in ratiokit.cluster_canonicals(texts, threshold)
    ]


def test_ratio_and_version(tmp_path):
    done = run(tmp_path, "ratio", "kitten", "sitting")
    assert done.returncode == 0
    assert done.stdout.decode().strip() == repr(ratiokit.ratio("kitten", "sitting"))
    # asymmetric case: argument order is kept
    done = run(tmp_path, "ratio", "--", "-ab", "ba-")
    assert float(done.stdout) == ratiokit.ratio("-ab", "ba-")

    done = run(tmp_path, "--version")
    assert done.returncode == 0
    assert done.stdout.decode().strip() == f"ratiokit {metadata.version('ratiokit')}"


class TestClusterOutput:
    def test_jsonl(self, work):
        done = run(work, "cluster", "names.txt", "--threshold", "0.8", "--format", "jsonl")
        assert done.returncode == 0, done.stderr
        got = jsonl(done)
        want = expected_clusters([NAMES[i] for i in range(5)], NAME_IDS, 0.8)
        assert [(c["cluster"], [m["id"] for m in c["members"]], c["min_ratio"]) for c in got] == [
            (k, ids, score) for k, (ids, score) in enumerate(want)
        ]
        assert got[0]["members"][0]["text"] == "parse_header(line)"
        assert b"5 strings, 1 clusters" in done.stderr

    def test_tsv(self, work):
        done = run(work, "cluster", "names.txt", "--threshold", "0.8", "--format", "tsv")
        header, rows = tsv_rows(done)
        assert header == ["cluster", "min_ratio", "id", "text"]
        (ids, score), = expected_clusters(NAMES, NAME_IDS, 0.8)
        assert [r[2] for r in rows] == ids
        assert all(r[0] == "0" and float(r[1]) == score for r in rows)

    def test_table(self, work):
        done = run(work, "cluster", "names.txt", "--format", "table", "--threshold", "0.8")
        text = done.stdout.decode()
        (ids, score), = expected_clusters(NAMES, NAME_IDS, 0.8)
        assert f"cluster 0: 3 members, min ratio {score:.4f}" in text
        for ident in ids:
            assert ident in text
        assert "close()" not in text

    def test_default_in_a_pipe_is_tsv(self, work):
        done = run(work, "cluster", "names.txt", "--quiet")
        assert out_lines(done)[0] == "cluster\tmin_ratio\tid\ttext"
        assert done.stderr == b""  # --quiet: no summary


class TestInputForms:
    def test_stdin_and_dash_with_files(self, work):
        # No INPUT means standard input; "-" names it among files, in order.
        done = run(work, "cluster", "--format", "jsonl", stdin=NAMES_FILE.encode())
        assert [m["id"] for m in jsonl(done)[0]["members"]] == ["<stdin>:1", "<stdin>:2", "<stdin>:6"]

        done = run(work, "cluster", "near.txt", "-", "--format", "jsonl", "--threshold", "0.99",
                   stdin=(BASE + " 3\n").encode())
        (cluster,) = jsonl(done)
        assert [m["id"] for m in cluster["members"]] == ["near.txt:4", "<stdin>:1"]
        assert cluster["min_ratio"] == 1.0

    def test_line_numbers_match_the_file(self, work):
        # A form feed or a CRLF ending must not shift or split lines.
        (work / "odd.txt").write_bytes(b"alpha beta\r\nx\x0cy\r\nalpha betb\r\n")
        done = run(work, "cluster", "odd.txt", "--format", "jsonl", "--threshold", "0.8")
        (cluster,) = jsonl(done)
        assert [(m["id"], m["text"]) for m in cluster["members"]] == [
            ("odd.txt:1", "alpha beta"), ("odd.txt:3", "alpha betb")]

    def test_jsonl_strings(self, work):
        lines = [json.dumps(s) for s in ["tab\there", "tab\there!", "", "other"]]
        lines.insert(2, "")  # a blank line is skipped but counted
        (work / "s.jsonl").write_text("\n".join(lines) + "\n")
        done = run(work, "cluster", "--jsonl", "s.jsonl", "--format", "tsv", "--threshold", "0.8")
        _, rows = tsv_rows(done)
        # the tab inside a string is escaped, so every row still has four fields
        assert rows == [["0", repr(ratiokit.ratio("tab\there", "tab\there!")), "s.jsonl:1",
                         "tab\\there"],
                        ["0", repr(ratiokit.ratio("tab\there", "tab\there!")), "s.jsonl:2",
                         "tab\\there!"]]

    def test_files_walk_and_glob(self, work):
        done = run(work, "cluster", "--files", "src", "--glob", "*.py", "--format", "jsonl",
                   "--threshold", "0.7")
        assert done.returncode == 0, done.stderr
        ids = [[m["id"] for m in c["members"]] for c in jsonl(done)]
        a, b = os.path.join("src", "a.py"), os.path.join("src", "sub", "b.py")
        assert ids == [[a, b]]
        assert jsonl(done)[0]["min_ratio"] == ratiokit.ratio(SRC_A, SRC_B)

        done = run(work, "cluster", "--files", "src", "--format", "jsonl", "--threshold", "0.7")
        ids = [[m["id"] for m in c["members"]] for c in jsonl(done)]
        assert ids == [[a, os.path.join("src", "notes.txt"), b]]  # walk order: sorted, depth first


class TestLshAndProgress:
    def test_lsh_matches_library(self, work):
        done = run(work, "cluster", "--lsh", "near.txt", "--num-perm", "64", "--band-rows", "4",
                   "--threshold", "0.9", "--format", "jsonl")
        assert done.returncode == 0, done.stderr
        want = ratiokit.cluster_canonicals_lsh(NEAR, 0.9, 64, 4)
        assert want
        assert [([int(m["id"].split(":")[1]) - 1 for m in c["members"]], c["min_ratio"])
                for c in jsonl(done)] == want
        err = done.stderr.decode()  # the closing summary, nothing else
        assert err.startswith("ratiokit: 10 strings, 1 clusters in ") and err.count("\n") == 1

    @pytest.mark.parametrize("command", [["cluster"], ["cluster", "--lsh"],
                                         ["pairs", "--threshold", "0.9"]])
    def test_progress_into_a_file_has_one_format(self, work, tmp_path, command):
        log = tmp_path / "stderr.txt"
        for env in ({}, {"RATIOKIT_PROGRESS": "1"}):
            with open(log, "wb") as err:
                done = run(work, *command, "near.txt", "--progress", "--format", "tsv", env=env,
                           stdout=subprocess.PIPE, stderr=err)
            assert done.returncode == 0
            text = log.read_text()
            assert "\r" not in text and "\033" not in text  # no terminal line in a file
            lines = [line for line in text.splitlines() if " strings, " not in line
                     and " items, " not in line]
            formats = {re.match(r"\W*ratiokit\W*", line).group(0) for line in lines}
            if env:  # the library's own lines, which it writes at every phase, and only them
                assert lines and len(formats) == 1, text
            else:  # the command's, whose first line may or may not come on so short a run
                assert formats <= {"ratiokit: "}, text

    def test_quiet(self, work):
        done = run(work, "cluster", "near.txt", "--threshold", "0.9", "--quiet", "--format", "tsv")
        assert done.returncode == 0 and done.stderr == b""
        assert len(tsv_rows(done)[1]) == 10
        # The library's own lines too, which RATIOKIT_PROGRESS turns on at every phase.
        for command in (["cluster"], ["cluster", "--lsh"], ["pairs", "--threshold", "0.9"]):
            loud = run(work, *command, "near.txt", "--format", "tsv",
                       env={"RATIOKIT_PROGRESS": "1"})
            assert b"[ratiokit]" in loud.stderr
            done = run(work, *command, "near.txt", "--quiet", "--format", "tsv",
                       env={"RATIOKIT_PROGRESS": "1"})
            assert done.returncode == 0 and done.stderr == b"" and done.stdout == loud.stdout

    def test_quiet_leaves_later_library_calls_as_configured(self, work, monkeypatch, capfd):
        from ratiokit import _ratiokit, cli

        monkeypatch.chdir(work)
        monkeypatch.setenv("RATIOKIT_PROGRESS", "1")
        assert cli.main(["cluster", "near.txt", "--format", "tsv", "--quiet"]) == 0
        assert capfd.readouterr().err == ""
        assert _ratiokit._progress_lines(None) is None  # the variable rules again
        ratiokit.cluster_canonicals(NEAR, 0.9)
        assert "[ratiokit] edges: start" in capfd.readouterr().err

    def test_status_only_when_asked_and_environment_untouched(self, work, monkeypatch, capsys):
        from ratiokit import cli

        def clustering(texts, threshold, threads, progress=None):
            for report in [("", 0, 0), ("edges", 1, 4), ("edges", 2, 4), ("minimum", 1, 2)]:
                if progress is not None:
                    progress(*report)
            return [([0, 1], 1.0)]

        monkeypatch.setattr(ratiokit, "cluster_canonicals", clustering)
        monkeypatch.chdir(work)
        monkeypatch.delenv("RATIOKIT_PROGRESS", raising=False)
        before = dict(os.environ)
        # Standard error in a file: plain lines, the first of each named phase.
        assert cli.main(["cluster", "near.txt", "--format", "tsv", "--progress"]) == 0
        err = capsys.readouterr().err.splitlines()
        assert err[:2] == ["ratiokit: edges: 1/4 (25%)", "ratiokit: minimum: 1/2 (50%)"]
        assert len(err) == 3 and err[2].startswith("ratiokit: 10 strings")
        # On a terminal, without --progress: no status line.
        monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
        assert cli.main(["cluster", "near.txt", "--format", "tsv"]) == 0
        assert capsys.readouterr().err.startswith("ratiokit: 10 strings")
        assert cli.main(["cluster", "near.txt", "--format", "tsv", "--quiet"]) == 0
        assert capsys.readouterr().err == ""
        assert dict(os.environ) == before
        monkeypatch.setenv("RATIOKIT_PROGRESS", "1")
        before = dict(os.environ)
        assert cli.main(["cluster", "near.txt", "--format", "tsv", "--progress"]) == 0
        assert dict(os.environ) == before  # and the library writes the only progress lines
        assert capsys.readouterr().err.startswith("ratiokit: 10 strings")


class TestJoin:
    def test_whitespace_lines_and_token_lists(self, work):
        docs = ["def f ( x )", "def f ( y )", "class A :", "def g ( x )"]
        (work / "docs.txt").write_text("\n".join(docs) + "\n")
        want = ratiokit.cosine_join([d.split() for d in docs], 0.3)
        assert want  # the case must produce pairs to be worth checking
        done = run(work, "join", "docs.txt", "--threshold", "0.3", "--format", "jsonl")
        assert [(r["a"], r["b"], r["cosine"]) for r in jsonl(done)] == [
            (f"docs.txt:{j + 1}", f"docs.txt:{i + 1}", c) for j, i, c in want]

        (work / "docs.jsonl").write_text("\n".join(json.dumps(d.split()) for d in docs) + "\n")
        done = run(work, "join", "--jsonl", "docs.jsonl", "--threshold", "0.3", "--format", "tsv")
        header, rows = tsv_rows(done)
        assert header == ["a", "b", "cosine"]
        assert [(r[0], r[1], float(r[2])) for r in rows] == [
            (f"docs.jsonl:{j + 1}", f"docs.jsonl:{i + 1}", c) for j, i, c in want]

    def test_python_tokens_on_files(self, work):
        args = ["join", "--files", "src", "--glob", "*.py", "--threshold", "0.99", "--format"]
        # Python's tokenizer sees a.py and b.py as the same token stream; whitespace does not.
        done = run(work, *args, "jsonl", "--tokens", "python")
        (pair,) = jsonl(done)
        assert (pair["a"], pair["b"]) == (os.path.join("src", "a.py"),
                                          os.path.join("src", "sub", "b.py"))
        assert pair["cosine"] == pytest.approx(1.0)
        done = run(work, *args, "table")
        assert done.returncode == 0 and out_lines(done) == ["no pairs"]


class TestErrors:
    @pytest.mark.parametrize("args, stdin, message", [
        (["cluster", "missing.txt"], None, "missing.txt: no such file"),
        (["cluster", "--files", "nowhere"], None, "nowhere: no such file"),
        (["cluster", "bad.txt"], None, "bad.txt:2: invalid UTF-8"),
        (["cluster", "--jsonl", "bad.jsonl"], None, "bad.jsonl:2: invalid JSON"),
        (["cluster", "--jsonl", "-"], b'"a"\n17\n', "<stdin>:2: expected a JSON string"),
        (["cluster", "--jsonl", "-"], b'"a"\n"\\ud800"\n', "<stdin>:2:"),
        (["cluster", "--jsonl", "-"], b'{"text": "a", "id": "\\ud800"}\n',
         "<stdin>:1: the id: string holds a lone surrogate"),
        (["join", "--jsonl", "-"], b'["a", 1]\n', "<stdin>:1: expected a list of string"),
        (["join", "--files", "--tokens", "python", "-"], b"f(\n", "<stdin>: cannot tokenize"),
        (["cluster", "src"], None, "src: is a directory"),
        (["cluster", "--jsonl", "-"], b'"a"\n' + b"[" * 100_000 + b"\n",
         "<stdin>:2: JSON nested too deeply"),
        (["join", "--jsonl", "-"], b'{"text": ["a"], "id": ' + b"[" * 100_000 + b"\n",
         "<stdin>:1: JSON nested too deeply"),
        (["cluster", "--jsonl", "-"], b"1" * 5000 + b"\n", "<stdin>:1: invalid JSON"),
        (["cluster", "--files", "--split", "functions", "deep.py"], None,
         "deep.py: cannot parse as Python"),
        (["cluster", "--files", "--split", "functions", "wide.py"], None, "wide.py: cannot parse"),
        (["cluster", "gone.txt"], None, "gone.txt: dangling symlink"),
        (["cluster", "--files", "gone.txt"], None, "gone.txt: dangling symlink"),
        (["cluster", "--files", "loop.txt"], None, "loop.txt: symlink loop"),
        (["cluster", "loop.txt"], None, "loop.txt: symlink loop"),
    ])
    def test_input_errors_exit_1_with_one_line(self, work, args, stdin, message):
        (work / "bad.txt").write_bytes(b"fine\nbad \xff\xfe byte\n")
        (work / "bad.jsonl").write_text('"ok"\n{not json\n')
        (work / "deep.py").write_text("x = " + "-" * 100_000 + "1\n")  # the parser's stack
        (work / "wide.py").write_text("x = " + "+".join(["1"] * 1_000_000) + "\n")  # recursion
        (work / "gone.txt").symlink_to("nowhere.txt")
        (work / "loop.txt").symlink_to("loop.txt")
        done = run(work, *args, stdin=stdin)
        assert done.returncode == 1
        err = done.stderr.decode()
        assert err.startswith("ratiokit: error: ") and message in err, err
        assert err.count("\n") == 1 and done.stdout == b""

    def test_undecodable_argument(self, work):
        done = subprocess.run([sys.executable, "-m", "ratiokit", "ratio", b"\xff", "a"],
                              cwd=work, capture_output=True, timeout=60)
        assert done.returncode == 1
        assert done.stderr.decode().startswith("ratiokit: error: ")

    def test_errors_replace_carries_on(self, work):
        (work / "bad.txt").write_bytes(b"fine\nbad \xff\xfe byte\nbad  byte\n")
        done = run(work, "cluster", "bad.txt", "--errors", "replace", "--format", "jsonl",
                   "--threshold", "0.5")
        assert done.returncode == 0, done.stderr
        (cluster,) = jsonl(done)
        assert [m["id"] for m in cluster["members"]] == ["bad.txt:2", "bad.txt:3"]
        assert "\ufffd" in cluster["members"][0]["text"]

    @pytest.mark.parametrize("args", [
        ["cluster", "--format", "jsonl", "empty.txt"],
        ["join", "--jsonl", "--format", "jsonl", "-"],
        ["cluster", "--lsh", "--format", "jsonl", "-"],
    ])
    def test_empty_input_is_an_empty_result(self, work, args):
        (work / "empty.txt").write_text("\n\n")
        done = run(work, *args, stdin=b"")
        assert done.returncode == 0, done.stderr
        assert done.stdout == b""

    @pytest.mark.parametrize("args, message", [
        (["cluster", "--threshold", "1.5"], "--threshold must be between 0 and 1"),
        (["join", "--threshold", "-0.1"], "--threshold must be between 0 and 1"),
        (["cluster", "--threshold", "nan"], "--threshold"),
        (["cluster", "--no-such-option"], "unrecognized arguments"),
        (["cluster", "--glob", "*.py", "src"], "--glob needs --files"),
        (["cluster", "--lsh", "--band-rows", "0"], "--band-rows"),
        (["cluster", "--threads", "-1"], "--threads must not be negative"),
        (["join", "--threads", str(2**64)], "--threads"),
        (["cluster", "--jsonl", "--files"], "not allowed with"),
        ([], "required"),
    ])
    def test_usage_errors_exit_2(self, work, args, message):
        # The usage error comes before any input is read: the missing file is never opened.
        done = run(work, *args, *(["missing.txt"] if args else []))
        assert done.returncode == 2
        assert message in done.stderr.decode()
        assert b"Traceback" not in done.stderr


class TestHostileInputsAndFailures:
    def test_walk_reads_only_regular_files(self, work):
        import socket

        src = work / "src"
        os.mkfifo(src / "pipe.py")  # opening it for reading would wait for a writer forever
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(str(src / "sock.py"))
        except OSError:  # a path too long for a socket address; the FIFO still counts
            sock.close()
            sock = None
        try:
            args = ("cluster", "--files", "src", "--glob", "*.py", "--format", "jsonl",
                    "--threshold", "0.7")
            done = run(work, *args, timeout=20)
            assert done.returncode == 0, done.stderr
            ids = [[m["id"] for m in c["members"]] for c in jsonl(done)]
            assert ids == [[os.path.join("src", "a.py"), os.path.join("src", "sub", "b.py")]]
            skipped = 2 if sock is not None else 1
            assert f"skipped {skipped} entr" in done.stderr.decode()
            assert "pipe.py" not in done.stderr.decode()

            verbose = run(work, *args, "--verbose", timeout=20).stderr.decode()
            assert f"skipped {os.path.join('src', 'pipe.py')}: not a regular file" in verbose
            assert run(work, *args, "--quiet", timeout=20).stderr == b""
        finally:
            if sock is not None:
                sock.close()

    WALK = ("cluster", "--files", "src", "--glob", "*.py", "--format", "jsonl",
            "--threshold", "0.7")

    def test_walk_skips_links_it_cannot_follow(self, work):
        src = work / "src"
        (src / "gone.py").symlink_to("nowhere.py")
        (src / "loop.py").symlink_to("loop.py")
        (src / "up").symlink_to("..")  # would walk the tree again, and more
        (src / "link.py").symlink_to("a.py")  # a link to a file is read
        done = run(work, *self.WALK)
        assert done.returncode == 0, done.stderr
        assert [[m["id"] for m in c["members"]] for c in jsonl(done)] == [
            [os.path.join("src", name) for name in ("a.py", "link.py", os.path.join("sub", "b.py"))]]
        assert done.stderr.decode().startswith(
            "ratiokit: skipped 3 entries: 1 dangling symlink, 1 directory symlink, "
            "1 symlink loop (--verbose names them)\n")
        verbose = run(work, *self.WALK, "--verbose").stderr.decode().splitlines()
        assert verbose[:3] == [f"ratiokit: skipped {os.path.join('src', 'up')}: directory symlink "
                               "(not followed)",
                               f"ratiokit: skipped {os.path.join('src', 'gone.py')}: dangling symlink",
                               f"ratiokit: skipped {os.path.join('src', 'loop.py')}: symlink loop"]
        assert verbose[3] == "ratiokit: skipped 3 entries: 1 dangling symlink, 1 directory " \
                             "symlink, 1 symlink loop"

    def test_walk_skips_unreadable_entries_but_not_named_ones(self, work):
        prefix = unprivileged(work)
        src = work / "src"
        locked, secret = src / "locked", src / "secret.py"
        locked.mkdir()
        (locked / "x.py").write_text(SRC_A)
        secret.write_text(SRC_A)
        locked.chmod(0)
        secret.chmod(0)
        try:
            done = run(work, *self.WALK, prefix=prefix)
            assert done.returncode == 0, done.stderr
            assert [[m["id"] for m in c["members"]] for c in jsonl(done)] == [
                [os.path.join("src", "a.py"), os.path.join("src", "sub", "b.py")]]
            assert ("skipped 2 entries: 1 unreadable directory, 1 unreadable file"
                    in done.stderr.decode())
            verbose = run(work, *self.WALK, "--verbose", prefix=prefix).stderr.decode()
            for name in ("locked", "secret.py"):
                assert f"skipped {os.path.join('src', name)}: unreadable " in verbose
                assert "(Permission denied)" in verbose
            for args in (["--files", "src/locked"], ["src/secret.py"], ["--files", "src/secret.py"]):
                done = run(work, "cluster", *args, prefix=prefix)
                err = done.stderr.decode()
                assert done.returncode == 1 and err.count("\n") == 1, err
                assert err.startswith(f"ratiokit: error: {args[-1]}: ") and "Permission denied" in err
        finally:
            locked.chmod(0o755)
            secret.chmod(0o644)

    def test_table_escapes_control_characters(self, work):
        odd = work / "odd"
        odd.mkdir()
        for name in ("two\nlines.py", "red\x1b[31m.py", "tab\there.py"):
            (odd / name).write_text(SRC_A + "\x1b[2J")
        done = run(work, "cluster", "--files", "odd", "--format", "table", "--threshold", "0.5")
        out = done.stdout.decode()
        assert "\x1b" not in out and "\t" not in out and len(out.splitlines()) == 4, out
        for name in ("two\\nlines.py", "red\\x1b[31m.py", "tab\\there.py"):
            assert os.path.join("odd", name) in out
        done = run(work, "pairs", "--files", "odd", "--format", "table", "--threshold", "0.5")
        out = done.stdout.decode()
        assert "\x1b" not in out and len(out.splitlines()) == 9, out
        done = run(work, "cluster", "no\nsuch.txt")
        assert done.returncode == 1 and done.stderr.decode() == (
            "ratiokit: error: no\\nsuch.txt: no such file\n")

    @pytest.mark.parametrize("fmt", ["table", "tsv", "jsonl"])
    def test_file_names_that_are_not_utf8_print_safely(self, work, fmt):
        names = work / "names"
        names.mkdir()
        odd = os.path.join(os.fsencode(names), b"caf\xe9.txt")
        with open(odd, "wb") as f:
            f.write(SRC_A.encode())
        (names / "plain.txt").write_text(SRC_A)
        # A strict UTF-8 stdout, as under PYTHONIOENCODING=utf-8 or in a UTF-8 locale.
        done = run(work, "cluster", "--files", "names", "--format", fmt, "--threshold", "0.9",
                   env={"PYTHONIOENCODING": "utf-8"})
        assert done.returncode == 0, done.stderr
        out = done.stdout.decode("utf-8")  # valid UTF-8 throughout
        assert "caf\\udce9.txt" in out and "plain.txt" in out

    @pytest.mark.parametrize("error, message", [
        (MemoryError(), "ratiokit: error: out of memory"),
        (ValueError("argument 'canonicals': a text of 2000000000 code points is longer"),
         "ratiokit: error: argument 'canonicals': a text"),
    ])
    def test_expected_failures_are_one_line_and_status_1(self, work, monkeypatch, capsys, error,
                                                         message):
        from ratiokit import cli

        def fail(*args, **kwargs):
            raise error

        monkeypatch.setattr(ratiokit, "cluster_canonicals", fail)
        monkeypatch.chdir(work)
        assert cli.main(["cluster", "near.txt", "--format", "tsv"]) == 1
        captured = capsys.readouterr()
        assert captured.err.startswith(message) and captured.err.count("\n") == 1
        assert "Traceback" not in captured.err

    def test_a_failed_write_is_one_line_and_status_1(self, work):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full here")
        with open("/dev/full", "wb") as full:
            done = subprocess.run([sys.executable, "-m", "ratiokit", "cluster", "near.txt"],
                                  cwd=work, stdout=full, stderr=subprocess.PIPE, timeout=60)
        assert done.returncode == 1
        err = done.stderr.decode()
        assert err.startswith("ratiokit: error: ") and err.count("\n") == 1, err

    def test_join_refuses_threshold_zero(self, work):
        done = run(work, "join", "--threshold", "0", "near.txt")
        assert done.returncode == 2
        assert "a zero cosine is not a similarity" in done.stderr.decode()
        assert done.stdout == b""

    @pytest.mark.parametrize("command", [
        ["cluster", "--threshold", "0.8"],
        ["cluster", "--lsh", "--threshold", "0.8"],
        ["join", "--threshold", "0.5"],
    ])
    def test_huge_thread_counts_do_not_slow_a_small_job(self, work, command):
        # Enough items for every parallel step to fan out (pieces of work far outnumber CPUs).
        lines = "\n".join(f"line {n} {BASE.split()[n % 14]}" for n in range(1000)) + "\n"
        (work / "many.txt").write_text(lines)
        baseline = run(work, *command, "many.txt", "--threads", "1", timeout=60)
        assert baseline.returncode == 0, baseline.stderr
        done = run(work, *command, "many.txt", "--threads", "65535", timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout == baseline.stdout


MODULE = '''\
import os


@decorator
def top(x):
    return x


class Box:
    def open(self):
        def inner():
            return 1
        return inner

    async def close(self):
        return None
'''


class TestMatchAndPairs:
    def test_match_scores_items_against_the_query(self, work):
        done = run(work, "match", "parse_header(lin)", "names.txt", "--format", "jsonl",
                   "-n", "2", "--cutoff", "0.5")
        assert done.returncode == 0, done.stderr
        want = ratiokit.extract("parse_header(lin)", NAMES, limit=2, score_cutoff=0.5)
        assert [(r["id"], r["score"], r["text"]) for r in jsonl(done)] == [
            (NAME_IDS[k], score, text) for text, score, k in want]
        done = run(work, "match", "zzzz", "names.txt", "--format", "table")
        assert out_lines(done) == ["no matches"]
        done = run(work, "match", "x", "names.txt", "--cutoff", "2")
        assert done.returncode == 2 and b"--cutoff" in done.stderr

    def test_options_anywhere_among_arguments(self, work):
        want = run(work, "match", "-n", "3", "--format", "tsv", "parse_header(line)",
                   "names.txt", "near.txt")
        assert want.returncode == 0, want.stderr
        assert len(tsv_rows(want)[1]) == 3
        for order in (["parse_header(line)", "-n", "3", "names.txt", "--format", "tsv",
                       "near.txt"],
                      ["parse_header(line)", "names.txt", "-n", "3", "near.txt", "--format",
                       "tsv"]):
            done = run(work, "match", *order)
            assert (done.returncode, done.stdout) == (0, want.stdout), done.stderr
        # After `--` everything is an argument, a query that starts with '-' too.
        (work / "flags.txt").write_text("-v verbose\n--quiet\n")
        done = run(work, "match", "-n", "1", "--format", "tsv", "--", "-v verbos", "flags.txt")
        assert tsv_rows(done)[1][0][1:] == ["flags.txt:1", "-v verbose"]
        done = run(work, "cluster", "names.txt", "--threshold", "0.9", "near.txt", "--format",
                   "jsonl")
        assert done.returncode == 0, done.stderr
        assert any(m["id"] == "near.txt:1" for c in jsonl(done) for m in c["members"])

    def test_pairs_self_and_against(self, work):
        done = run(work, "pairs", "names.txt", "--threshold", "0.8", "--format", "tsv")
        header, rows = tsv_rows(done)
        assert header == ["a", "b", "ratio", "a_text", "b_text"]
        want = ratiokit.ratio_join(NAMES, threshold=0.8)
        assert [(r[0], r[1], float(r[2])) for r in rows] == [
            (NAME_IDS[i], NAME_IDS[j], r) for i, j, r in want]
        (work / "other.txt").write_text("parse_headers(line)\nsomething else\n")
        done = run(work, "pairs", "names.txt", "--against", "other.txt", "--threshold", "0.8",
                   "--format", "jsonl")
        want = ratiokit.ratio_join(NAMES, ["parse_headers(line)", "something else"],
                                   threshold=0.8)
        assert want
        assert [(r["a"], r["b"], r["ratio"]) for r in jsonl(done)] == [
            (NAME_IDS[i], f"other.txt:{j + 1}", r) for i, j, r in want]
        assert run(work, "pairs", "names.txt").returncode == 2  # the threshold is required


class TestInputOptions:
    def test_split_functions(self, work):
        (work / "src" / "mod.py").write_text(MODULE)
        done = run(work, "pairs", "--files", "src", "--glob", "mod.py", "--split", "functions",
                   "--threshold", "0.0", "--format", "jsonl")
        assert done.returncode == 0, done.stderr
        mod = os.path.join("src", "mod.py")
        ids = sorted({r["a"] for r in jsonl(done)} | {r["b"] for r in jsonl(done)},
                     key=lambda x: int(x.split(":")[1]))
        assert ids == [f"{mod}:5:top", f"{mod}:9:Box", f"{mod}:10:Box.open",
                       f"{mod}:11:Box.open.inner", f"{mod}:15:Box.close"]
        by_id = {r["a"]: r["a_text"] for r in jsonl(done)}
        assert by_id[f"{mod}:5:top"] == "@decorator\ndef top(x):\n    return x"
        (work / "src" / "bad.py").write_text("def (:\n")
        done = run(work, "cluster", "--files", "src", "--glob", "bad.py", "--split", "functions")
        assert done.returncode == 1 and b"bad.py" in done.stderr
        assert run(work, "cluster", "names.txt", "--split", "functions").returncode == 2

    def test_jsonl_objects_with_ids(self, work):
        rows = [{"text": "parse_header(line)", "id": "h1"}, {"text": "parse_header(lines)"},
                {"text": "close()", "id": 7}]
        (work / "o.jsonl").write_text("\n".join(json.dumps(r) for r in rows) + "\n")
        done = run(work, "cluster", "--jsonl", "o.jsonl", "--format", "jsonl", "--threshold", "0.8")
        assert [m["id"] for m in jsonl(done)[0]["members"]] == ["h1", "o.jsonl:2"]
        (work / "bad.jsonl").write_text(json.dumps({"id": "x"}) + "\n")
        done = run(work, "cluster", "--jsonl", "bad.jsonl")
        assert done.returncode == 1 and b"bad.jsonl:1" in done.stderr

    def test_repeated_globs_and_path_patterns(self, work):
        done = run(work, "cluster", "--files", "src", "--glob", "a.py", "--glob", "sub/*.py",
                   "--format", "jsonl", "--threshold", "0.0")
        ids = [m["id"] for c in jsonl(done) for m in c["members"]]
        assert ids == [os.path.join("src", "a.py"), os.path.join("src", "sub", "b.py")]

    def test_usage_errors_and_hints(self, work):
        done = run(work, "cluster", "names.txt", "--num-perm", "64")
        assert done.returncode == 2 and b"--lsh" in done.stderr
        # What the shell makes of an unquoted --glob *.py in a directory holding two .py files.
        done = run(work / "src", "cluster", "--files", ".", "--glob", "a.py", "c.py")
        assert done.returncode == 2 and b"quote" in done.stderr
        done = run(work, "cluster", "--help")
        assert b"default: 0.8" in done.stdout

    def test_min_length_sizes_and_tsv_omissions(self, work):
        long = "x" * 300
        (work / "mix.txt").write_text(f"{long}\n{long}y\nab\nab\nabc\nabd\nabe\n")
        done = run(work, "cluster", "mix.txt", "--threshold", "0.6", "--format", "tsv")
        _, rows = tsv_rows(done)
        assert [r[0] for r in rows] == ["0", "0", "0", "0", "0", "1", "1"]  # largest first
        assert rows[-1][3] == "\\N"  # a long text left out is not an empty text
        done = run(work, "cluster", "mix.txt", "--threshold", "0.6", "--format", "tsv",
                   "--min-length", "3")
        _, rows = tsv_rows(done)
        assert [r[2] for r in rows] == ["mix.txt:5", "mix.txt:6", "mix.txt:7", "mix.txt:1",
                                        "mix.txt:2"]

    def test_paths_relative_to_the_current_directory(self, work):
        done = run(work, "cluster", "--files", str(work / "src"), "--glob", "*.py",
                   "--format", "jsonl", "--threshold", "0.7")
        assert [m["id"] for m in jsonl(done)[0]["members"]] == [
            os.path.join("src", "a.py"), os.path.join("src", "sub", "b.py")]


def test_status_display_on_a_terminal_and_elsewhere():
    import io

    from ratiokit import cli

    out = io.StringIO()
    status = cli._Status(out, terminal=True)
    status("edges", 0, 100)
    status.phase_start -= 2.0  # two seconds into the phase
    status("edges", 50, 100)
    first, second = out.getvalue().split("\r\033[K")[1:]
    assert first == "ratiokit: edges: 0/100 (0%)"
    assert second.startswith("ratiokit: edges: 50/100 (50%), 25/s, 2s left")
    status("minimum", 3, 1_000_000)  # a new phase restarts the rate
    assert out.getvalue().endswith("ratiokit: minimum: 3/1,000,000 (0%)") or "/s" in out.getvalue()
    status.close()
    assert out.getvalue().endswith("\r\033[K")

    plain = io.StringIO()
    status = cli._Status(plain, terminal=False)
    status.last_line -= 2.0
    status("verify", 10, 40)
    status("verify", 11, 40)  # within a second of the last line: not written
    assert plain.getvalue().count("\n") == 1 and plain.getvalue().startswith("ratiokit: verify: 10/40 (25%)")
    status.close()
    assert "\r" not in plain.getvalue()
