"""The report's drawing beside the rest of the writing: on a thread, or, for the command line where the
system forks cheaply, in a child process forked before the search (its own interpreter lock, Pillow
loaded there alone).

Nothing heavy is imported here: the command line forks its helper (see
`DrawingHelper`) as soon as numpy and the drawing code are loaded, before the
rest of the search's modules, so that the child loads Pillow and makes its
canvas while the parent starts the search.
"""
from __future__ import annotations

import os
import pickle
import signal
import sys
import threading
import warnings
from pathlib import Path


def _forks() -> bool:
    """Whether the command line draws its report in a child process: on Linux, where forking is cheap."""
    return sys.platform.startswith("linux") and hasattr(os, "fork")


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
        self.pid, self.pipe, self.thread = 0, None, None
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
        self.failure, self.pid, self.pipe, self.thread = None, 0, None, None
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
                    with os.fdopen(write, "wb") as pipe:
                        pipe.write(said)
            finally:
                os._exit(code)
        os.close(write)
        self.pid, self.pipe = pid, os.fdopen(read, "rb")

    def _reap(self, said: bool) -> int:
        """The child's exit status once it has ended, with what it said failed when `said`."""
        pipe, self.pipe = self.pipe, None
        if pipe is not None:
            with pipe:
                text = pipe.read() if said else b""
            if text:
                self.failure = pickle.loads(text)
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return status

    def stop(self) -> None:
        if self.pid:
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


class DrawingHelper:
    """A child process forked before a search, which loads Pillow and makes the report's fonts and blank
    canvas meanwhile, then draws the one report it is sent (`draw`): the writing then waits for the
    drawing alone. `start` gives None where the report is
    not drawn in a process of its own (see `_forks`); `close` ends the child when nothing was sent."""

    def __init__(self):
        read, self._send = os.pipe()

        def work() -> None:
            os.close(self._send)
            try:
                from . import plot

                figure, failed = plot.prepare(), None
            except BaseException as exc:  # said once there is something to draw
                figure, failed = None, exc
            # Sized, so that a copy of the sending end left in some other child of the parent cannot hold it.
            with os.fdopen(read, "rb") as pipe:
                size = pipe.read(8)
                if len(size) < 8:  # closed unused
                    return
                request = pipe.read(int.from_bytes(size, "little"))
            if failed is not None:
                raise failed
            data, path = pickle.loads(request)
            plot.draw(data, path, figure=figure)

        self.drawing = Drawing.forked(work)
        os.close(read)

    @classmethod
    def start(cls) -> "DrawingHelper | None":
        return cls() if _forks() else None

    def draw(self, data: dict, path: Path) -> Drawing:
        """The drawing of `data` into `path`, by the helper's child (or, where it has gone, as `Drawing`)."""
        send, self._send = self._send, -1
        try:
            request = pickle.dumps((data, str(path)), protocol=pickle.HIGHEST_PROTOCOL)
            with os.fdopen(send, "wb") as pipe:
                pipe.write(len(request).to_bytes(8, "little") + request)
        except OSError:  # the child has ended
            self.drawing.stop()
            return Drawing(data, path)
        return self.drawing

    def close(self) -> None:
        """Ends the child unless it was sent a report, which `draw`'s caller waits for."""
        if self._send >= 0:
            os.close(self._send)
            self._send = -1
        self.drawing.stop()
