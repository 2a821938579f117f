"""vonk: compact payloads for language-model token streams."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vonk.token_files import TokenFile, TokenFileWriter, write_token_file

import types as _types

try:
    from vonk._internal import (
        Codec,
        compress_token_ids,
        decompress_token_ids,
        list_available_tokenizers,
    )

    def _load_arrays() -> _types.ModuleType:
        # The buffer API lives in the same shared object as the list API.
        import importlib.machinery
        import importlib.util
        import sys

        from vonk import _internal

        name = __name__ + "._arrays"
        if name in sys.modules:
            return sys.modules[name]
        loader = importlib.machinery.ExtensionFileLoader(name, _internal.__file__)
        location = importlib.util.spec_from_file_location(name, _internal.__file__, loader=loader)
        assert location is not None
        module = importlib.util.module_from_spec(location)
        sys.modules[name] = module
        loader.exec_module(module)
        return module

    _arrays = _load_arrays()
    del _load_arrays
    from vonk._mapping import Mapping

    pack, pack_many, unpack, unpack_many = (
        _arrays.pack,
        _arrays.pack_many,
        _arrays.unpack,
        _arrays.unpack_many,
    )
except ImportError as _error:
    import pathlib as _pathlib

    _folder = _pathlib.Path(__file__).resolve().parent
    # The source tree holds these files but no compiled module.
    if (_folder.parent / "pyproject.toml").is_file() and not any(_folder.glob("_internal*.so")):
        raise ImportError(
            f"vonk was imported from its source tree ({_folder}), which has no compiled "
            "module vonk._internal. Install vonk first (pip install . in the source tree, "
            "inside a virtualenv), then run Python from another folder, so that the "
            "source folder does not shadow the installed package."
        ) from _error
    raise

__version__ = "0.1.0"

__all__ = [
    "Codec",
    "list_available_tokenizers",
    "compress_token_ids",
    "decompress_token_ids",
    "pack",
    "unpack",
    "pack_many",
    "unpack_many",
    "Mapping",
    "write_token_file",
    "TokenFileWriter",
    "TokenFile",
]

# Token files need numpy and pyarrow, imported only when first used.
_TOKEN_FILE_NAMES = ("write_token_file", "TokenFileWriter", "TokenFile")


def __getattr__(name: str) -> object:
    if name in _TOKEN_FILE_NAMES:
        from vonk import token_files

        return getattr(token_files, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
