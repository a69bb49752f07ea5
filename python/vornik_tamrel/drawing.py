"""The report's drawing beside the rest of the writing: on a thread, or, for the command line where the
system forks cheaply, in a child process forked before the search (its own interpreter lock, Pillow
loaded there alone).

Nothing heavy is imported here: the command line forks its helper (see
`DrawingHelper`) as soon as numpy and the drawing code are loaded, before the
rest of the search's modules, so that the child loads Pillow and makes its
canvas while the parent starts the search.
"""
from __future__ import annotations

import importlib
import os
import pickle
import select
import signal
import sys
import threading
import warnings
from contextlib import contextmanager
from contextvars import ContextVar
from pathlib import Path


def _forks() -> bool:
    """Whether the command line draws its report in a child process: on Linux, where forking is cheap."""
    return sys.platform.startswith("linux") and hasattr(os, "fork")


#: What a drawing process says when it has done its work (anything else it says is a pickled failure, which
#: never begins with a zero byte).
_DONE = b"\0"


class Drawing:
    """`draw(data, path)` started at once, beside the caller's work: on a thread, or in a child process
    with `fork` (its own interpreter lock, Pillow imported there alone). `wait` raises what the drawing
    raised; `stop` ends it unfinished.

    Only a process that has started no threads of its own forks safely: the child gets a copy of every
    lock another thread held at that moment (the engine's pool, a Dask client's event loop, a notebook's
    kernel, an allocator's), and waits for it forever. So a search's writing draws on a thread, and only
    the command line forks, at its start (see `DrawingHelper`)."""

    def __init__(self, data: dict, path: Path, fork: bool = False):
        from . import plot

        self.failure: BaseException | None = None
        self.pid, self.pipe, self.thread, self.ending = 0, None, None, False
        if fork:
            self._fork(lambda: plot.draw(data, str(path)))
        else:
            self.thread = threading.Thread(target=self._run, args=(lambda: plot.draw(data, str(path)),),
                                           name="vornik-tamrel-report")
            self.thread.start()

    @classmethod
    def forked(cls, work) -> "Drawing":
        """`work()` in a child process, waited for and stopped as a drawing is."""
        self = cls.__new__(cls)
        self.failure, self.pid, self.pipe, self.thread, self.ending = None, 0, None, None, False
        self._fork(work)
        return self

    def _run(self, work) -> None:
        try:
            work()
        except BaseException as exc:  # raised by `wait` on the calling thread
            self.failure = exc

    def _fork(self, work) -> None:
        read, write = os.pipe()
        with warnings.catch_warnings():  # newer interpreters warn of forking beside threads: see `Drawing`
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # the child: draws, says what failed, and ends without running any of the caller's code
            code = 0
            try:
                os.close(read)
                self._run(work)
                if self.failure is not None:
                    code = 1
                    try:
                        said = pickle.dumps(self.failure)
                    except Exception:
                        said = pickle.dumps(RuntimeError(f"drawing the report failed: {self.failure!r}"))
                else:
                    said = _DONE
                with os.fdopen(write, "wb") as pipe:
                    pipe.write(said)
            finally:
                os._exit(code)
        os.close(write)
        self.pid, self.pipe = pid, os.fdopen(read, "rb")

    def _reap(self, said: bool) -> int:
        """The child's exit status once it has ended, with what it said failed when `said`; 0 at once where it
        said it has done its work: its end (the system unmapping a process of a hundred megabytes) is waited
        for by `stop`, while the caller finishes its own work."""
        pipe, self.pipe = self.pipe, None
        if pipe is not None:
            with pipe:
                text = pipe.read(len(_DONE)) if said else b""
                if text == _DONE:
                    self.ending = True
                    return 0
                text += pipe.read() if text else b""
            if text:
                self.failure = pickle.loads(text)
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return status

    def stop(self) -> None:
        """Ends the drawing unfinished (a process that has said it is done is only waited for)."""
        if self.pid:
            if not self.ending:
                try:
                    os.kill(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self._reap(False)
        elif self.thread is not None:
            self.thread.join()

    def wait(self) -> None:
        if self.pid:
            status = self._reap(True)
            if self.failure is None and status != 0:
                how = f"signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status) else f"status {status >> 8}"
                self.failure = RuntimeError(f"drawing the report failed: its process ended with {how}")
        elif self.thread is not None:
            self.thread.join()
        if self.failure is not None:
            raise self.failure


_lent: ContextVar["DrawingHelper | None"] = ContextVar("vornik_tamrel_helper", default=None)


@contextmanager
def lending(helper: "DrawingHelper | None"):
    """Within: `lent_helper()` gives `helper`, whose processor the work after scoring may share."""
    token = _lent.set(helper)
    try:
        yield
    finally:
        _lent.reset(token)


def lent_helper() -> "DrawingHelper | None":
    """The helper process lent to this search (see `lending`), or None."""
    return _lent.get()


#: The most bytes of arrays `shared_map` sends the helper process: beyond, the copies (pickled here, held
#: there) would cost more memory than a search of millions of spectra should take on for a second core.
MAX_SHARED_BYTES = 64 << 20


def shared_map(function, shared, count: int, nbytes: int = 0) -> list:
    """`[function(shared, task) for task in range(count)]`: shared with the helper process lent to the search
    where more than one thread is allowed (each process has its own interpreter lock, which the many small
    numpy calls of error control's fits hold most of their time) and `shared` holds at most MAX_SHARED_BYTES
    (`nbytes`, the size of its arrays), else on the allowed threads (see `workers.ordered_map`). `function`
    must be found by name: a module's own function."""
    from functools import partial

    from .workers import ordered_map, tail_threads

    helper = lent_helper() if tail_threads() > 1 and nbytes <= MAX_SHARED_BYTES else None
    done = None if helper is None else helper.share(function, shared, count)
    return ordered_map(partial(function, shared), range(count)) if done is None else done


class DrawingHelper:
    """A child process forked before a search, which loads Pillow and makes the report's fonts and blank
    canvas meanwhile, then draws the one report it is sent (`draw`): the writing then waits for the
    drawing alone. Until then it lends the search its processor (see `share`). `start` gives None where the
    report is not drawn in a process of its own (see `_forks`); `close` ends the child when nothing was sent."""

    def __init__(self, preload: tuple[str, ...] = ()):
        """`preload`: modules the child imports while it waits, those of the work it may be lent for."""
        requests, self._send = os.pipe()
        self._replies, replies = os.pipe()
        self._tasks, self._tasks_in = os.pipe()  # task numbers, taken by whichever process is free first
        self._sharing = True

        def work() -> None:
            for fd in (self._send, self._replies, self._tasks_in):
                os.close(fd)
            try:
                from . import plot

                figure, failed = plot.prepare(), None
            except BaseException as exc:  # said once there is something to draw
                figure, failed = None, exc
            _warm_heap()
            for name in preload:
                try:
                    importlib.import_module(name)
                except Exception:  # imported again, and failing there, only where work needs it
                    pass
            while True:
                try:
                    request = _receive_sized(requests)
                except EOFError:  # closed unused
                    return
                if request[0] == "share":
                    _send_sized(replies, _share_here(*request[1:], self._tasks))
                    continue
                if request[0] == "first":
                    if failed is None:
                        try:
                            figure.first(request[1])
                        except BaseException as exc:  # said once there is something to draw
                            failed = exc
                    continue
                if failed is not None:
                    raise failed
                data, path = request[1:]
                plot.draw(data, path, figure=figure)
                return

        self.drawing = Drawing.forked(work)
        os.close(requests)
        os.close(replies)

    @classmethod
    def start(cls, preload: tuple[str, ...] = ()) -> "DrawingHelper | None":
        return cls(preload) if _forks() else None

    def share(self, function, shared, count: int) -> list | None:
        """`[function(shared, task) for task in range(count)]`, the tasks taken one at a time by this process
        and the helper's, each with its own interpreter lock; None where the helper cannot take part (it has
        been sent its report, or has ended), for the caller to work alone. `function` is found by name in
        the child, and `shared` and the results go through pickle, which keeps every number to the bit."""
        if not self._sharing or self._send < 0 or not 1 < count <= MAX_SHARED:
            return None
        try:
            _send_sized(self._send, ("share", function, shared))
        except OSError:  # the child has ended
            self._sharing = False
            return None
        os.write(self._tasks_in, b"".join(task.to_bytes(4, "little") for task in [*range(count), _END, _END]))
        done: dict[int, object] = {}
        try:
            while (task := _next_task(self._tasks)) != _END:
                done[task] = function(shared, task)
        except BaseException:  # the pipes are left mid-way: shared no more
            self._sharing = False
            raise
        try:
            theirs = _receive_sized(self._replies)
        except Exception:  # ended while working, or said what cannot be read: what it took is done here
            self._sharing, theirs = False, {}
        done.update(theirs)
        return [done[task] if task in done else function(shared, task) for task in range(count)]

    def begin(self, first: dict) -> None:
        """Has the report's first panel drawn now (see `plot.first_panel`), while the helper waits for the rest."""
        if self._send >= 0:
            try:
                _send_sized(self._send, ("first", first))
            except OSError:  # the child has ended: `draw` finds it so
                pass

    def draw(self, data: dict, path: Path) -> Drawing:
        """The drawing of `data` into `path`, by the helper's child (or, where it has gone, as `Drawing`)."""
        send, self._send = self._send, -1
        self._close_tasks()
        try:
            _send_sized(send, ("draw", data, str(path)))
        except OSError:  # the child has ended
            self.drawing.stop()
            return Drawing(data, path)
        finally:
            os.close(send)
        return self.drawing

    def _close_tasks(self) -> None:
        for name in ("_tasks", "_tasks_in", "_replies"):
            fd = getattr(self, name)
            if fd >= 0:
                os.close(fd)
                setattr(self, name, -1)

    def close(self) -> None:
        """Ends the child unless it was sent a report, which `draw`'s caller waits for."""
        if self._send >= 0:
            os.close(self._send)
            self._send = -1
        self._close_tasks()
        self.drawing.stop()


#: Bytes of memory the helper makes ready for the drawing while it waits (see `_warm_heap`): about what the
#: drawing holds at once, beside its canvas.
WARM_HEAP = 16 << 20


def _warm_heap() -> None:
    """Makes the allocator's memory ready for the drawing, which otherwise spends a fifth of its time on the
    first touch of fresh pages (its masks, the halved image, the PNG's bytes). A large block freed raises the
    allocator's threshold for taking blocks from the system directly, and for giving freed memory back; the
    second block, below it, then comes from the heap and stays there, its pages touched."""
    for _ in range(2):
        bytearray(WARM_HEAP)


def _share_here(function, shared, tasks: int) -> dict:
    """The helper's part of `DrawingHelper.share`: the tasks it takes, until the end mark, done. Where one
    fails, the rest are taken but left (the parent does them, and meets the failure itself)."""
    done, failed = {}, False
    while (task := _next_task(tasks)) != _END:
        if failed:
            continue
        try:
            done[task] = function(shared, task)
        except Exception:
            failed = True
    return done


#: The most tasks `DrawingHelper.share` hands out at once, and the number that ends them (one for each
#: process): their 4-byte numbers are written at once, in one piece no reader can see in part.
MAX_SHARED = select.PIPE_BUF // 4 - 2
_END = 0xFFFFFFFF


def _send_sized(fd: int, value) -> None:
    """`value` pickled, after its size: a copy of the pipe's end held by some other child of the parent
    cannot make the reader wait for more."""
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    view = memoryview(len(data).to_bytes(8, "little") + data)
    while view:
        view = view[os.write(fd, view):]


def _read_exactly(fd: int, size: int) -> bytes | None:
    """`size` bytes of `fd`, or None where it ends first (every writing end of the pipe closed)."""
    parts = []
    while size:
        part = os.read(fd, size)
        if not part:
            return None
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def _receive_sized(fd: int):
    """What `_send_sized` sent; EOFError where the pipe ends before it."""
    size = _read_exactly(fd, 8)
    data = None if size is None else _read_exactly(fd, int.from_bytes(size, "little"))
    if data is None:
        raise EOFError("the pipe ended")
    return pickle.loads(data)


def _next_task(fd: int) -> int:
    """The next task number of the shared pipe: written 4 bytes at a time, read so (a pipe never splits a
    write of up to its atomic size)."""
    return int.from_bytes(os.read(fd, 4), "little")
