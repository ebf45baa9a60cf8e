"""The converter as a user meets it: arguments, exit statuses, the error report, the output file
and the log records on standard error."""

import functools
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest

from harness import REPO_ROOT, Program, a_dtype, a_place, check, kestro_bin, run, weight_record, weights_bytes

EXAMPLE_JSON = REPO_ROOT / "examples" / "model.json"
EXAMPLE_WEIGHTS = REPO_ROOT / "examples" / "model.pdiparams"
RECORD = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (ERROR|WARN |INFO |DEBUG|TRACE) (\S+)\] (.*)$")


def kestro(*args, env=None, preexec=None, log_reader_gone=False, pass_fds=()):
    """Runs the binary with raw arguments (str or bytes); logging is off unless env sets it.
    preexec runs in the child before the binary starts (resource limits, standard output
    closed or redirected); log_reader_gone closes the reading end of standard error at once,
    like `2>&1 | head -1` soon does; pass_fds are descriptors the binary inherits."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RUST_LOG")}
    full_env.update(env or {})
    argv = [os.fsencode(kestro_bin())] + [a if isinstance(a, bytes) else os.fsencode(a) for a in args]
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env,
                         stdin=subprocess.DEVNULL, preexec_fn=preexec, pass_fds=pass_fds)
    if log_reader_gone:
        p.stderr.close()
        out, err = p.stdout.read(), b""
        p.wait(timeout=120)
    else:
        out, err = p.communicate(timeout=120)
    return p.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def example(out, *extra, env=None, **how):
    return kestro(str(EXAMPLE_JSON), str(EXAMPLE_WEIGHTS), str(out), *extra, env=env, **how)


def leftovers(folder, name="m.onnx"):
    """Temporary files of an output called name (or of any output) that a run left in folder."""
    return [f for f in os.listdir(folder) if f != name and (name in f or f.endswith(".tmp"))]


def small_file_limit():
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))


def records(stderr):
    """(level, target, message) of every log line; fails on any other line."""
    out = []
    for line in stderr.splitlines():
        m = RECORD.match(line)
        assert m, f"not a log record: {line!r}"
        out.append((m.group(1).strip(), m.group(2), m.group(3)))
    return out


# ------------------------------------------------------------------------------------------------
# Help, version and usage errors

@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_help_goes_to_stdout(flag):
    code, out, err = kestro(flag)
    assert (code, err) == (0, "")
    for text in ["PaddlePaddle to ONNX Converter", "MODEL_JSON", "MODEL_PDIPARAMS", "OUTPUT_ONNX",
                 "OPSET", "STRICT", "Path to the PaddlePaddle .json model file",
                 "Path to the PaddlePaddle .pdiparams weight file",
                 "Path to the output .onnx model file", "Target ONNX opset version (10 to 21, e.g. 17)",
                 "Reject lossy conversions such as multinomial -> ArgMax", "17"]:
        assert text in out


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version_goes_to_stdout(flag):
    assert kestro(flag) == (0, "kestro 0.1.2\n", "")


USAGE_ERRORS = {
    "no-arguments": ([], None),
    "two-paths": (["m.json", "m.pdiparams"], None),
    "opset-9": (["m.json", "m.pdiparams", "OUT", "9"],
                "Target ONNX opset must be >= 10, got 9. Lower opsets are not supported."),
    "opset-negative": (["m.json", "m.pdiparams", "OUT", "--", "-12"], "got -12."),
    # Past the newest opset whose operator changes the conversion accounts for (GridSample's).
    "opset-22": (["m.json", "m.pdiparams", "OUT", "22"],
                 "Target ONNX opset must be <= 21, got 22. Higher opsets are not supported."),
    "opset-int64-max": (["m.json", "m.pdiparams", "OUT", str(2**63 - 1)], f"got {2**63 - 1}. Higher"),
    "opset-decimal": (["m.json", "m.pdiparams", "OUT", "12.0"], "Invalid opset value: 12.0"),
    "opset-empty": (["m.json", "m.pdiparams", "OUT", ""], "Invalid opset value: \n"),
    "opset-blank": (["m.json", "m.pdiparams", "OUT", " 12"], "Invalid opset value:  12"),
    "fifth-word": (["m.json", "m.pdiparams", "OUT", "17", "true"], None),
    "six-words": (["m.json", "m.pdiparams", "OUT", "17", "x", "y"], None),
    "unknown-option": (["m.json", "m.pdiparams", "OUT", "--strict"], None),
    "unknown-option-alone": (["-v"], "The following argument was not expected: -v"),
    "unknown-option-first": (["--verbose", "m.json"], "The following argument was not expected: --verbose"),
    "not-utf8": ([b"m\xff.json", "m.pdiparams", "OUT"], None),
}


@pytest.mark.parametrize("case", list(USAGE_ERRORS))
def test_usage_errors_exit_2_and_touch_nothing(tmp, case):
    words, reason = USAGE_ERRORS[case]
    out = tmp / "out.onnx"
    args = [str(out) if w == "OUT" else w for w in words]
    code, stdout, stderr = kestro(*args, env={"RUST_LOG": "info"})
    assert code == 2, stderr
    assert stdout == "" and stderr.strip()
    if reason is not None:
        assert reason in stderr
    # The command line is read before anything is logged or created.
    assert "PaddlePaddle to ONNX Converter ===" not in stderr
    assert not out.exists()


def test_plus_sign_opset_is_accepted(tmp):
    out = tmp / "m.onnx"
    code, _, err = example(out, "+12")
    assert code == 0, err
    assert out.read_bytes().endswith(bytes([0x42, 0x02, 0x10, 12]))


# ------------------------------------------------------------------------------------------------
# The error report and the output file

def test_missing_model_file_is_reported_without_output(tmp):
    out = tmp / "m.onnx"
    code, stdout, stderr = kestro(str(tmp / "absent.json"), str(EXAMPLE_WEIGHTS), str(out))
    assert (code, stdout, stderr) == (1, "", "Error: No such file or directory (os error 2)\n")
    assert not out.exists()


def as_nobody_if_root():
    """Root may write any file: a refusal for want of permission is seen as another user."""
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)


@pytest.fixture
def open_folder():
    """A folder every user may write in, reachable by every user (the test folder is not)."""
    folder = Path(tempfile.mkdtemp(prefix="kestro-cli-"))
    os.chmod(folder, 0o777)
    yield folder
    shutil.rmtree(folder)


@pytest.mark.parametrize("stage", ["model", "weights", "write-over-file-size-limit", "read-only-output"])
def test_failed_stage_leaves_existing_output_byte_identical(tmp, open_folder, stage):
    folder, mode = tmp, 0o640
    bad = tmp / "bad"
    how = {}
    if stage == "model":
        bad.write_text('{"program": ')
        args = [str(bad), str(EXAMPLE_WEIGHTS)]
    elif stage == "weights":
        bad.write_bytes(EXAMPLE_WEIGHTS.read_bytes()[:-3])  # the last tensor loses its tail
        args = [str(EXAMPLE_JSON), str(bad)]
    elif stage == "read-only-output":
        # Opening it for writing would be refused; the rename alone would not be, as the
        # folder is writable: a read-only output is refused all the same.
        folder, mode = open_folder, 0o444
        args, how = [str(EXAMPLE_JSON), str(EXAMPLE_WEIGHTS)], {"preexec": as_nobody_if_root}
    else:
        # The model is longer than the limit: the write fails, reported, not a kill by signal.
        args, how = [str(EXAMPLE_JSON), str(EXAMPLE_WEIGHTS)], {"preexec": small_file_limit}
    out = folder / "m.onnx"
    old = b"an older model, longer than nothing" * 3
    out.write_bytes(old)
    os.chmod(out, mode)
    code, _, stderr = kestro(*args, str(out), **how)
    assert code == 1 and stderr.startswith("Error: ") and stderr.count("\n") >= 1, stderr
    if stage.startswith("write"):
        assert stderr == "Error: File too large (os error 27)\n"
    if stage == "read-only-output":
        assert stderr == "Error: Permission denied (os error 13)\n"
    assert out.read_bytes() == old
    assert (os.stat(out).st_mode & 0o777) == mode
    assert leftovers(folder) == []


@pytest.mark.parametrize("target,message", [
    ("missing/m.onnx", "Error: No such file or directory (os error 2)\n"),
    (".", "Error: Is a directory (os error 21)\n"),
])
def test_unopenable_output_is_reported_without_saved_record(tmp, target, message):
    code, _, stderr = example(tmp / target, env={"RUST_LOG": "info"})
    assert code == 1
    assert stderr.endswith(message)
    assert "Saved ONNX model" not in stderr


def copied_inputs(tmp):
    shutil.copy(EXAMPLE_JSON, tmp / "m.json")
    shutil.copy(EXAMPLE_WEIGHTS, tmp / "w.pdiparams")
    return tmp / "m.json", tmp / "w.pdiparams"


def output_linked_to(kind, target):
    def setup(tmp):
        program, weights = copied_inputs(tmp)
        source = {"program": program, "weights": weights}[target]
        out = tmp / "out.onnx"
        if kind == "symlink":
            out.symlink_to(source.name)
        elif kind == "hard-link":
            os.link(source, out)
        else:
            (tmp / "sub").mkdir()
            out = tmp / "sub" / ".." / source.name
        return program, weights, out
    return setup


def output_reaching_an_input(target, out, stdout=None, deleted=False):
    """An output path `out` that leads to the `target` input through a descriptor: "{fd}" in
    it is one on the input that kestro inherits, a leading "symlink:" makes it a link to the
    rest. Any other number is a descriptor kestro itself opens: it inherits only standard input,
    output and error, and closes the program before it opens the weight file, which is so
    descriptor 3 (or 1 when standard output is closed). `stdout` is "closed" or the flags with
    which the input is opened as standard output. `deleted` hands kestro the weight file as an
    inherited descriptor whose name is gone: no path leads to it, so the output is written in
    place rather than replaced."""
    def setup(tmp):
        program, weights = copied_inputs(tmp)
        source = {"program": program, "weights": weights}[target]
        how = {}
        path = out
        if deleted:
            fd = os.open(weights, os.O_RDONLY)
            os.unlink(weights)
            weights = Path(f"/proc/self/fd/{fd}")
            how["pass_fds"] = (fd,)
        elif "{fd}" in out:
            fd = os.open(source, os.O_RDONLY)
            path = out.format(fd=fd)
            how["pass_fds"] = (fd,)
        if path.startswith("symlink:"):
            (tmp / "out.onnx").symlink_to(path[len("symlink:"):])
            path = tmp / "out.onnx"
        if stdout == "closed":
            how["preexec"] = lambda: os.close(1)
        elif stdout is not None:
            def redirect(flags=stdout, name=str(source)):
                os.dup2(os.open(name, flags), 1)
            how["preexec"] = redirect
        return program, weights, Path(path), how
    return setup


def parameterless_program(tmp):
    p = Program()
    p.fetch(p.data("x", "f32", [2]), "out")
    (tmp / "m.json").write_text(json.dumps(p.to_json()))
    return tmp / "m.json", Path("/dev/null"), Path("/dev/null")


OUTPUT_IS_AN_INPUT = {
    # name: (setup giving program, weights and output paths, what the output is the same file as)
    "weights-itself": (lambda tmp: (*copied_inputs(tmp), tmp / "w.pdiparams"), "weight file"),
    "weights-via-symlink": (output_linked_to("symlink", "weights"), "weight file"),
    "weights-via-hard-link": (output_linked_to("hard-link", "weights"), "weight file"),
    "program-via-dotdot": (output_linked_to("dotdot", "program"), "program"),
    "program-via-hard-link": (output_linked_to("hard-link", "program"), "program"),
    # Only a regular file can be replaced: a device given twice is no conflict.
    "dev-null-as-weights-and-output": (parameterless_program, None),
    # Paths that lead to an input through a descriptor kestro opens: they name nothing, or
    # something else, before the inputs are open.
    "weights-via-proc-self-fd-of-kestro": (output_reaching_an_input("weights", "/proc/self/fd/3"),
                                           "weight file"),
    "weights-via-dev-fd-of-kestro": (output_reaching_an_input("weights", "/dev/fd/3"), "weight file"),
    "weights-via-proc-thread-self-fd-of-kestro": (
        output_reaching_an_input("weights", "/proc/thread-self/fd/3"), "weight file"),
    "weights-via-symlink-to-proc-self-fd-of-kestro": (
        output_reaching_an_input("weights", "symlink:/proc/self/fd/3"), "weight file"),
    "weights-via-dev-stdout-closed": (output_reaching_an_input("weights", "/dev/stdout", "closed"),
                                      "weight file"),
    # No name leads to the weight file, so the output is not replaced but written in place.
    "deleted-weights-via-dev-stdout-closed": (
        output_reaching_an_input("weights", "/dev/stdout", "closed", deleted=True), "weight file"),
    # Descriptors that exist before kestro starts.
    "weights-via-inherited-proc-self-fd": (output_reaching_an_input("weights", "/proc/self/fd/{fd}"),
                                           "weight file"),
    "weights-via-inherited-dev-fd": (output_reaching_an_input("weights", "/dev/fd/{fd}"),
                                     "weight file"),
    "program-via-inherited-proc-self-fd": (output_reaching_an_input("program", "/proc/self/fd/{fd}"),
                                           "program"),
    "weights-via-symlink-to-inherited-fd": (
        output_reaching_an_input("weights", "symlink:/proc/self/fd/{fd}"), "weight file"),
    "weights-via-dev-stdout-appending-to-it": (
        output_reaching_an_input("weights", "/dev/stdout", os.O_WRONLY | os.O_APPEND), "weight file"),
    "program-via-dev-stdout-open-on-it": (
        output_reaching_an_input("program", "/dev/stdout", os.O_RDWR), "program"),
}


@pytest.mark.parametrize("case", list(OUTPUT_IS_AN_INPUT))
def test_output_that_is_an_input_is_refused_before_anything_is_written(tmp, case):
    setup, same_as = OUTPUT_IS_AN_INPUT[case]
    program, weights, out, *how = setup(tmp)
    how = how[0] if how else {}
    before = {p: p.read_bytes() for p in (program, weights) if p.is_file()}
    try:
        code, stdout, stderr = kestro(str(program), str(weights), str(out), **how)
        after = {p: p.read_bytes() for p in before}
    finally:
        for fd in how.get("pass_fds", ()):
            os.close(fd)
    if same_as is None:
        assert (code, stdout, stderr) == (0, "", "")
        return
    source = program if same_as == "program" else weights
    assert (code, stdout) == (1, "")
    assert stderr == f"Error: the output '{out}' is the same file as the {same_as} '{source}'\n"
    assert after == before
    assert leftovers(tmp, out.name) == []


def weights_truncated_while_writing(tmp):
    """Runs a conversion whose output is a FIFO: kestro blocks opening it, after it has read
    the weights; the weight file is then cut short, and only then is the FIFO read."""
    p = Program()
    p.fetch(p.param("w", "f32", [64, 64]), "out")  # large enough to be written from the file
    weights = tmp / "w.pdiparams"
    weights.write_bytes(weights_bytes({"w": np.ones((64, 64), np.float32)}))
    program = tmp / "m.json"
    program.write_text(json.dumps(p.to_json()))
    fifo = tmp / "out.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen([kestro_bin(), program, weights, fifo], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Blocked in open() (syscall 257) with the weight file mapped: past reading, before writing.
    for _ in range(3000):
        try:
            maps = Path(f"/proc/{child.pid}/maps").read_text()
            call = Path(f"/proc/{child.pid}/syscall").read_text().split()[0]
        except OSError:
            break
        if str(weights) in maps and call == "257":
            break
        time.sleep(0.01)
    os.truncate(weights, 100)
    with open(fifo, "rb") as f:
        f.read()
    out, err = child.communicate(timeout=120)
    return child.returncode, out.decode(), err.decode()


def under_memory_limit(mib, big_list_on):
    """Runs a conversion of a multi-megabyte program with its address space limited to `mib`
    MiB: one operator holding a list of millions of numbers, in full_int_array (read from the
    program text) or in an operator whose attributes are copied (read into a document)."""
    def run_it(tmp):
        p = Program()
        if big_list_on == "full_int_array":
            n = 3_000_000
            v = p.op("1.full_int_array", attrs={"value": {"#": "0.a_array", "D": [k % 10 for k in range(n)]},
                                                "dtype": a_dtype("i64"), "place": a_place(1)}, outs=[("i64", [n])])
        else:
            v = p.op("1.relu", [p.data("x", "f32", [2, 3])], attrs={"big": {"#": "0.a_array", "D": [1] * 2_000_000}},
                     outs=[("f32", [2, 3])])
        p.fetch(v, "out")
        program = tmp / "big.json"
        program.write_text(json.dumps(p.to_json(), separators=(",", ":")))
        (tmp / "w.pdiparams").write_bytes(b"")
        limit = mib << 20
        return kestro(str(program), str(tmp / "w.pdiparams"), str(tmp / "m.onnx"),
                      preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    return run_it


RUN_FAILURES = {
    # name: (run, message)
    "dev-full": (lambda tmp: example("/dev/full", env={"RUST_LOG": "info"}),
                 "Error: No space left on device (os error 28)\n"),
    "weights-truncated-while-writing": (weights_truncated_while_writing,
                                        "Error: .pdiparams file changed while it was being converted\n"),
    # Memory running out anywhere (reading the file, parsing, folding, encoding) is reported,
    # never a crash: the parser's allocations fail by exception too.
    **{f"memory-limit-{mib}MiB-{on}": (under_memory_limit(mib, on), "Error: memory allocation failed\n")
       for on, limits in (("full_int_array", (32, 48)), ("copied-attribute", (32, 64))) for mib in limits},
}


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("case", list(RUN_FAILURES))
def test_failed_run_is_an_error_not_a_success(tmp, case):
    runner, message = RUN_FAILURES[case]
    code, _, stderr = runner(tmp)
    assert code == 1, stderr[-2000:]
    assert stderr.endswith(message)
    assert stderr.count("Error:") == 1
    assert "Saved ONNX model" not in stderr
    assert not (tmp / "m.onnx").exists()


def no_core_files():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def unnamed_files_work_in(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY))
        return True
    except OSError:
        return False


@functools.lru_cache(maxsize=1)
def can_hide_proc():
    """Whether a run can be given a /proc of its own that shows nothing (root, with mount
    namespaces): without it the new model cannot be named from its descriptor, so it is
    written as a named temporary file from the start."""
    try:
        return subprocess.run(["unshare", "--mount", "sh", "-c", "mount -t tmpfs none /proc"],
                              stdin=subprocess.DEVNULL, capture_output=True).returncode == 0
    except OSError:
        return False


def being_written(pid, folder):
    """Whether the process holds a new file in folder open: unnamed, or a hidden .tmp file."""
    try:
        links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:
        return False
    return any(link.startswith(f"{folder}/") and (link.endswith(" (deleted)") or link.endswith(".tmp"))
               for link in links)


def replaced(out, old_inode):
    try:
        return os.stat(out).st_ino != old_inode
    except OSError:
        return False


# Every signal whose default action ends the process ends it during the write too, and leaves
# the older model and nothing else: the new file has no name while it is written (where the
# file system allows: so kill -9 leaves nothing either), or its name goes first. A CPU-time
# limit sends SIGXCPU; SIGBUS from another process passes through the fault guard of the
# mapped weight file. Once the new model has replaced the older one, the run has succeeded:
# a signal then is held until kestro ends, with status 0.
# name: (signal, "write" | "write-named" (no /proc to name an unnamed file through) | "after-rename")
SIGNALS_WHILE_REPLACING = {
    **{name: (getattr(signal, name), "write") for name in
       ["SIGTERM", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU", "SIGVTALRM", "SIGPROF", "SIGBUS", "SIGSEGV"]},
    "SIGRTMIN+3": (signal.SIGRTMIN + 3, "write"),
    "SIGKILL": (signal.SIGKILL, "write"),
    **{f"{name}-named-file": (getattr(signal, name), "write-named") for name in ["SIGTERM", "SIGXCPU", "SIGBUS"]},
    **{f"{name}-after-rename": (getattr(signal, name), "after-rename") for name in
       ["SIGTERM", "SIGINT", "SIGQUIT", "SIGHUP", "SIGUSR1", "SIGALRM", "SIGXCPU"]},
}


@pytest.mark.parametrize("case", list(SIGNALS_WHILE_REPLACING))
def test_signal_while_the_output_is_replaced(tmp, case):
    sig, when = SIGNALS_WHILE_REPLACING[case]
    if sig == signal.SIGKILL and not unnamed_files_work_in(tmp):
        pytest.skip("the file system has no unnamed files: kill -9 leaves the named one")
    if when == "write-named" and not can_hide_proc():
        pytest.skip("needs mount namespaces to hide /proc")
    out = tmp / "m.onnx"
    if when == "after-rename":
        # A chain long enough that tearing it down after the rename takes a while; opset 18
        # skips ONNX's check.
        program = tmp / "chain.json"
        program.write_text(long_chain(100_000))
        weights = tmp / "empty.pdiparams"
        weights.write_bytes(b"")
        args = [kestro_bin(), program, weights, out, "18"]
    else:
        # One 32 MiB weight (a sparse file) makes the write last long enough to be caught.
        p = Program()
        p.fetch(p.param("w", "f32", [8, 1024, 1024]), "out")
        program = tmp / "big.json"
        program.write_text(json.dumps(p.to_json()))
        weights = tmp / "big.pdiparams"
        record = weight_record(vartype=5, dims=[8, 1024, 1024], data=b"")
        with open(weights, "wb") as f:
            f.write(record)
            f.truncate(len(record) + 32 * 1024 * 1024)
        args = [kestro_bin(), program, weights, out]
    if when == "write-named":
        args = ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"', *args]
    for _ in range(5):
        out.write_bytes(b"the older model")
        old_inode = os.stat(out).st_ino
        child = subprocess.Popen(args, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=no_core_files)
        caught = False
        while child.poll() is None:
            if replaced(out, old_inode) if when == "after-rename" else being_written(child.pid, tmp):
                child.send_signal(sig)
                caught = True
                break
        child.wait(timeout=120)
        if caught:
            break
    assert caught, "the run never lasted long enough to be interrupted"
    assert leftovers(tmp) == []
    if when == "after-rename":
        assert child.returncode == 0, child.stderr.read()
        assert check(out).graph.node
    else:
        assert child.returncode == -sig, child.stderr.read()
        assert out.read_bytes() == b"the older model"


def children_of(pid):
    try:
        return [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def error_is_dev_null(pid):
    try:
        return os.readlink(f"/proc/{pid}/fd/2") == "/dev/null"
    except OSError:
        return False


def has_ended(pid):
    """Whether the process is gone (or only waits to be reaped)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def address_space_limit(kib):
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (kib * 1024, kib * 1024))


def test_memory_limits_end_in_a_model_or_a_clean_refusal(tmp):
    # From the least address space kestro starts in, upwards: memory exhausted in the checker's
    # child process is no verdict on the model, so each limit gives the model, or the one line
    # of memory exhausted in kestro itself.
    least = next(kib for kib in range(4_000, 200_000, 1_000)
                 if kestro("--version", preexec=address_space_limit(kib))[0] == 0)
    outcomes = set()
    for kib in range(least, least + 12_000, 1_000):
        out = tmp / f"{kib}.onnx"
        code, stdout, stderr = example(out, preexec=address_space_limit(kib))
        assert (code, stdout, stderr) in ((0, "", ""), (1, "", "Error: memory allocation failed\n")), kib
        if code == 0:
            check(out)
        else:
            assert not out.exists()
        assert leftovers(tmp, out.name) == []
        outcomes.add(code)
    assert 0 in outcomes


@functools.lru_cache(maxsize=2)
def long_chain(length=30_000):
    """A chain of 30,000 operators: its check lasts long enough to be caught."""
    p = Program()
    x = p.data("x", "f32", [4, 8])
    for _ in range(length):
        x = p.op("1.relu", [x], outs=[("f32", [4, 8])])
    p.fetch(x, "out")
    return json.dumps(p.to_json())


# A signal that ends kestro while ONNX's checker runs in its child process ends the child too:
# SIGKILL through the child's death signal, the others through kestro's own handler as well.
# Nothing is written.
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
                         ids=["SIGKILL", "SIGTERM", "SIGINT", "SIGHUP"])
def test_signal_during_the_check_ends_the_checker_too(tmp, sig):
    program = tmp / "chain.json"
    program.write_text(long_chain())
    (tmp / "empty.pdiparams").write_bytes(b"")
    out = tmp / "m.onnx"
    for _ in range(5):
        kestro_run = subprocess.Popen([kestro_bin(), program, tmp / "empty.pdiparams", out, "17"],
                                      stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=no_core_files)
        checker = None
        while kestro_run.poll() is None and checker is None:
            # Caught once it has set itself up (its standard error points at /dev/null).
            checker = next((c for c in children_of(kestro_run.pid) if error_is_dev_null(c)), None)
        if checker is not None:
            # Stopped, the child would stay for ever if only the end of its check ended it.
            os.kill(checker, signal.SIGSTOP)
            kestro_run.send_signal(sig)
        kestro_run.wait(timeout=120)
        if checker is not None:
            break
    assert checker is not None, "the check never lasted long enough to be interrupted"
    try:
        assert kestro_run.returncode == -sig, kestro_run.stderr.read()
        deadline = time.monotonic() + 10
        while not has_ended(checker) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert has_ended(checker)
    finally:
        if not has_ended(checker):
            os.kill(checker, signal.SIGKILL)
    assert not out.exists() and leftovers(tmp) == []


def path_of_length(tmp, length, name):
    """A path of `length` bytes ending in the file `name`, through folders made for it."""
    folder, left = tmp, length - len(str(tmp)) - 1 - len(name)
    while left > 0:
        step = min(250, left - 1)
        if 0 < left - 1 - step < 2:  # leave room for one more "/x"
            step -= 2
        folder, left = folder / ("d" * step), left - step - 1
    folder.mkdir(parents=True, exist_ok=True)
    out = folder / name
    assert len(str(out)) == length
    return out


@pytest.mark.parametrize("via", ["file", "symlink", "log-reader-gone", "new-file", "program-with-bom",
                                 "path-of-4090-bytes", "path-of-4095-bytes", "name-of-255-bytes",
                                 "symlink-to-a-path-of-4090-bytes", "sigchld-ignored",
                                 "standard-descriptors-closed", "no-descriptor-left-for-the-check"])
def test_example_converts_and_replaces_a_longer_file(tmp, via):
    out = given = tmp / "m.onnx"
    program = EXAMPLE_JSON
    how = {}
    link = None
    logged = []
    if via == "symlink":
        # The link is kept and the file it points to is replaced, keeping its mode.
        (tmp / "real").mkdir()
        out = tmp / "real" / "m.onnx"
        link = "real/m.onnx"
        (tmp / "m.onnx").symlink_to(link)
    elif via == "symlink-to-a-path-of-4090-bytes":
        out = path_of_length(tmp, 4090, "m.onnx")
        link = str(out)
        (tmp / "m.onnx").symlink_to(link)
    elif via.startswith("path-of-"):
        # Any path that opening could create: the temporary file's path beside it is longer
        # than the system's limit, its name in the folder is not.
        out = given = path_of_length(tmp, int(via.split("-")[2]), "m.onnx")
    elif via == "name-of-255-bytes":
        # The temporary file's name is within the name limit all the same.
        out = given = tmp / ("m" * 250 + ".onnx")
    elif via == "log-reader-gone":
        how = {"env": {"RUST_LOG": "debug"}, "log_reader_gone": True}
    elif via == "sigchld-ignored":
        # A caller's ignored SIGCHLD would let the system reap the checker's process before
        # its verdict is read.
        how = {"preexec": lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)}
    elif via == "standard-descriptors-closed":
        # The checker's reply pipe must not take the numbers the child points at /dev/null.
        how = {"preexec": lambda: [os.close(fd) for fd in (0, 1, 2)]}
    elif via == "no-descriptor-left-for-the-check":
        # Standard input and output closed, and no descriptor above 3: the weight file takes
        # 0, the reply pipe 1 and 3, and no number above standard error is left for its end
        # on 1. A check that cannot start is no verdict: the model is written, with a
        # warning that only a level of warn or more shows.
        def no_room():
            os.close(0)
            os.close(1)
            resource.setrlimit(resource.RLIMIT_NOFILE, (4, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        how = {"preexec": no_room, "env": {"RUST_LOG": "warn"}}
        logged = [("WARN", "kestro::converter::export", "the converted model is written without ONNX's check, "
                   "which gave no verdict on it: its checker could not be started: Too many open files")]
    elif via == "program-with-bom":
        # A UTF-8 byte order mark before the text is no part of it.
        program = tmp / "bom.json"
        program.write_bytes(b"\xef\xbb\xbf" + EXAMPLE_JSON.read_bytes())
    umask = os.umask(0)
    os.umask(umask)
    if via == "new-file":
        mode = 0o666 & ~umask
    else:
        # A replaced file keeps its permission bits: a private model stays private.
        out.write_bytes(b"\xff" * 100_000)
        mode = 0o600
        os.chmod(out, mode)
    code, stdout, stderr = kestro(str(program), str(EXAMPLE_WEIGHTS), str(given), **how)
    assert (code, stdout, records(stderr)) == (0, "", logged)
    assert len(out.read_bytes()) < 100_000
    assert os.readlink(tmp / "m.onnx") == link if link else not out.is_symlink()
    assert (os.stat(out).st_mode & 0o777) == mode
    assert leftovers(out.parent, out.name) == []
    model = check(out)
    assert [n.op_type for n in model.graph.node][-1] == "Identity"
    # The example's numbers, from the weights make_example.py writes.
    w = (np.arange(12, dtype=np.float32).reshape(4, 3) / 10.0 - 0.5).astype(np.float32)
    b = np.array([0.1, -0.2, 0.3], dtype=np.float32)
    for x in (np.array([[1, 2, 3, 4]], np.float32), np.array([[1, -2, 0.5, -4]], np.float32)):
        got = run(out, {"x": x})["out"]
        np.testing.assert_allclose(got, np.maximum(x @ w + b, 0), rtol=1e-6, atol=1e-6)


# ------------------------------------------------------------------------------------------------
# Logging

EXPECTED_INFO = [
    ("kestro", "=== PaddlePaddle to ONNX Converter ==="),
    ("kestro", "Target Opset: 17"),
    ("kestro::converter", "Loading PaddlePaddle JSON model: {json}"),
    ("kestro::converter", "Found 2 parameters."),
    ("kestro::converter::export", "Saved ONNX model to: {out}"),
]


@pytest.mark.parametrize("directives,first", [("info", 0), ("INFO", 0), ("kestro::converter=info", 2),
                                        ("warn,kestro::converter::export", 4)])
def test_info_records_and_target_filter(tmp, directives, first):
    out = tmp / "m.onnx"
    code, stdout, stderr = example(out, env={"RUST_LOG": directives, "RUST_LOG_STYLE": "never"})
    assert code == 0 and stdout == ""
    expected = [("INFO", t, m.format(json=EXAMPLE_JSON, out=out)) for t, m in EXPECTED_INFO[first:]]
    assert records(stderr) == expected


def test_message_filter_and_malformed_directive(tmp):
    out = tmp / "m.onnx"
    code, _, stderr = example(out, env={"RUST_LOG": "kestro=loud,info/^Saved"})
    assert code == 0
    lines = stderr.splitlines()
    assert "invalid logging directive" in lines[0]
    assert [m for _, _, m in records("\n".join(lines[1:]))] == [f"Saved ONNX model to: {out}"]


@pytest.mark.parametrize("style,coloured", [("always", True), ("never", False), ("auto", False)])
def test_colour_follows_log_style(tmp, style, coloured):
    # Standard error is a pipe here, so "auto" means no colour.
    code, _, stderr = example(tmp / "m.onnx", env={"RUST_LOG": "info", "RUST_LOG_STYLE": style})
    assert code == 0
    assert ("\x1b[" in stderr) == coloured
    assert stderr.count("\n") == 5
    assert stderr.endswith(f"Saved ONNX model to: {tmp / 'm.onnx'}\n")
