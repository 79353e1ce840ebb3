"""Internal errors reach Python as PanicException, a BaseException.

The only internal errors a caller can provoke without corrupting memory come
from the wall clock: one set before 1970, or one that cannot be read. A tiny
preloaded library fakes either on demand.
"""

import os
import shutil
import subprocess

import pytest

from conftest import run_python, running_under_asan

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <time.h>

enum { REAL, BEFORE_EPOCH, FAILING };
static int mode = REAL;

void set_mode(int m) { mode = m; }

int clock_gettime(clockid_t clock, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  if (mode == FAILING && clock == CLOCK_REALTIME) {
    errno = EINVAL;
    return -1;
  }
  int result = real(clock, ts);
  if (mode == BEFORE_EPOCH && clock == CLOCK_REALTIME) ts->tv_sec = -86400;
  return result;
}
"""


@pytest.fixture(scope="module")
def clock_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the clock shim")
    if running_under_asan():
        pytest.skip("the sanitizer runtime must stay the only preloaded library")
    directory = tmp_path_factory.mktemp("shim")
    source = directory / "clock_shim.c"
    source.write_text(SHIM)
    library = directory / "clock_shim.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], check=True
    )
    return library


@pytest.mark.parametrize(
    "mode, description",
    [
        (1, "SystemTimeError(the wall clock reads 86400s before"),
        (2, "the wall clock cannot be read"),
    ],
    ids=["before-epoch", "unreadable"],
)
def test_clock_failures_raise_panic_exception(clock_shim, mode, description):
    result = run_python(
        f"""
        import ctypes
        import orlo_kiv
        shim = ctypes.CDLL({str(clock_shim)!r})
        index = orlo_kiv.KivIndex.cosine(2)
        index.add([1.0, 0.0])
        shim.set_mode({mode})
        try:
            index.add([0.0, 1.0])
        except Exception:
            print("caught by except Exception")
        except BaseException as error:
            kind = type(error)
            print(kind.__module__ + "." + kind.__qualname__, kind.__bases__ == (BaseException,))
            prefix = "called `Result::unwrap()` on an `Err` value: " + {description!r}
            print(error.args[0].startswith(prefix), len(error.args))
            print(bool(kind.__doc__) and "BaseException" in kind.__doc__)
            print(hasattr(orlo_kiv, "PanicException"))
        shim.set_mode(0)
        index.add([0.0, 1.0])
        print(len(index), index.stats())
    """,
        env={**os.environ, "LD_PRELOAD": str(clock_shim)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "pyo3_runtime.PanicException True",
        "True 1",
        "True",
        "False",
        "2 KivStats(points=2, sessions=1, documents=1, chunks=2)",
    ]
    assert "orlo_kiv: internal error" in result.stderr
