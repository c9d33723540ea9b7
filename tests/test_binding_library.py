"""Finding, loading, declaring and caching the engine library (children on package copies)."""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable
from pathlib import Path

import pytest
from engine_harness import PackageCopy


def test_cache_holds_one_declared_library_per_path(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import ctypes
        import orlune._orlune_nc as native

        first, second = open_session(), open_session()
        library = LIBRARY.resolve()
        lib = first._lib
        assert isinstance(lib, ctypes.CDLL) and lib is second._lib
        assert list(native._LIBRARY_CACHE) == [library] and native._LIBRARY_CACHE[library] is lib
        assert native._load_library(library) is lib
        assert native._load_library(path=Path(str(library))) is lib

        float_pointer = ctypes.POINTER(ctypes.c_float)
        prototypes = {
            "model_load_from_path": ([ctypes.c_char_p], ctypes.c_void_p),
            "model_free": ([ctypes.c_void_p], None),
            "session_create": ([ctypes.c_void_p, ctypes.c_size_t, ctypes.c_float], ctypes.c_void_p),
            "session_free": ([ctypes.c_void_p], None),
            "get_frame_length": ([ctypes.c_void_p], ctypes.c_size_t),
            "process_frame": ([ctypes.c_void_p, float_pointer, float_pointer], ctypes.c_float),
            "reset": ([ctypes.c_void_p], None),
        }
        for base, (argtypes, restype) in prototypes.items():
            function = getattr(lib, "orlune_nc_" + base)
            assert function is getattr(lib, "kelvo_nc_" + base), base
            assert function.argtypes == argtypes and function.restype is restype, base

        # A differently written path to the same file is another key, loaded and declared again.
        detour = LIBRARY.parent / ".." / "lib" / LIBRARY.name
        other = native._load_library(detour)
        assert other is not lib and native._LIBRARY_CACHE[detour] is other
        assert len(native._LIBRARY_CACHE) == 2
        assert other.orlune_nc_reset.argtypes == [ctypes.c_void_p]
        """
    )


def test_failed_load_is_not_cached_and_is_retried(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import shutil
        import orlune._orlune_nc as native

        candidate = Path("candidate.so").resolve()
        candidate.write_text("not a shared library")
        expect_error(OSError, native._load_library, candidate)
        assert native._LIBRARY_CACHE == {} and not native._LIBRARY_CACHE_LOCK.locked()

        shutil.copyfile(LIBRARY, candidate)
        lib = native._load_library(candidate)
        assert native._LIBRARY_CACHE == {candidate: lib} and not native._LIBRARY_CACHE_LOCK.locked()
        """
    )


@pytest.mark.parametrize(
    ("variant", "missing"),
    [("omit_reset", "kelvo_nc_reset"), ("current_prefix_only", "kelvo_nc_model_load_from_path")],
)
def test_library_missing_an_export_is_refused_and_not_cached(
    make_package_copy: Callable[..., PackageCopy], variant: str, missing: str
) -> None:
    copy = make_package_copy(variant)
    copy.run(
        """
        import ctypes
        import orlune._orlune_nc as native

        error = expect_error(AttributeError, open_session)
        assert MISSING in str(error), error
        assert native._LIBRARY_CACHE == {} and not native._LIBRARY_CACHE_LOCK.locked()
        assert engine.calls() == [] and engine.counter("live_models") == 0

        lib = ctypes.CDLL(str(LIBRARY))
        expect_error(AttributeError, native._declare_api, lib)
        if MISSING == "kelvo_nc_reset":  # declaring stops there; what came before stays bound
            assert lib.orlune_nc_process_frame is lib.kelvo_nc_process_frame
        """,
        MISSING=missing,
    )


def test_missing_library_is_reported_before_the_model_is_looked_at(
    make_package_copy: Callable[..., PackageCopy],
) -> None:
    copy = make_package_copy(None)
    copy.run(
        """
        from orlune._orlune_nc import OrluneNC
        message = f"Packaged Orlune native library was not found at {LIBRARY.resolve()}"
        expect_error(FileNotFoundError, OrluneNC, sample_rate=48000, attenuation_limit_db=100.0,
                     model_path=Path("no such model"), message=message)
        LIBRARY.mkdir()
        expect_error(FileNotFoundError, OrluneNC, sample_rate=48000, attenuation_limit_db=100.0,
                     model_path=MODEL, message=message)
        """,
        with_engine=False,
    )


def test_bad_model_path_is_reported_before_any_library_is_loaded(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import orlune._orlune_nc as native
        from orlune._orlune_nc import OrluneNC

        def engine_mapped():
            return "liborlune_nc" in Path("/proc/self/maps").read_text()

        for model in (Path("missing.bin"), Path("."), Path("subdir/..")):
            shown = (Path.cwd() / model).resolve()
            message = f"Packaged Orlune model bundle was not found at {shown}"
            expect_error(FileNotFoundError, OrluneNC, sample_rate=48000, attenuation_limit_db=100.0,
                         model_path=model, message=message)
        expect_error(AttributeError, OrluneNC, sample_rate=48000, attenuation_limit_db=100.0,
                     model_path=str(MODEL))
        assert native._LIBRARY_CACHE == {} and not engine_mapped()
        """,
        with_engine=False,
    )


def test_symlinked_library_is_loaded_cached_and_logged_by_its_target(
    engine_package: PackageCopy, tmp_path: Path
) -> None:
    target = tmp_path / "elsewhere" / "engine-build.so"
    target.parent.mkdir()
    shutil.move(engine_package.library_path, target)
    os.symlink(target, engine_package.library_path)
    engine_package.run(
        """
        import logging
        import orlune._orlune_nc as native
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        logging.getLogger("orlune.native").addHandler(handler)
        logging.getLogger("orlune.native").setLevel(logging.INFO)

        session = open_session()
        assert list(native._LIBRARY_CACHE) == [TARGET] and records[0].library_path == str(TARGET)
        assert session.process_frame(np.ones(480, dtype=np.int16))[0] == 1
        """,
        TARGET=target,
    )


def test_constructor_looks_the_library_up_anew_each_time(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import platform
        import orlune._orlune_nc as native

        platform.system = lambda: "Plan 9"  # unknown systems fall back to the Linux name
        open_session()
        assert list(native._LIBRARY_CACHE) == [LIBRARY.resolve()]

        native._LIBRARY_NAMES["Plan 9"] = "orlune_plan9.so"
        renamed = LIBRARY.parent.resolve() / "orlune_plan9.so"
        expect_error(FileNotFoundError, open_session,
                     message=f"Packaged Orlune native library was not found at {renamed}")

        del native._LIBRARY_NAMES["Plan 9"]
        native.__file__ = str(Path("moved") / "_orlune_nc.so")
        moved = Path.cwd() / "moved" / "resources" / "lib" / "liborlune_nc.so"
        expect_error(FileNotFoundError, open_session,
                     message=f"Packaged Orlune native library was not found at {moved}")
        """
    )
