"""The optional dependencies: imported where they are used, with a message that says what to install."""

import importlib
from typing import Any

INSTALL = 'pip install "Vorlanx-simpleImage[tools]"'


def require(module: str, user: str) -> Any:
    """Import `module` or raise ImportError naming `user` (what needs it) and the install command.

    The module comes back untyped (Dask's own functions are); for a typed one, import it again.
    """
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{user} needs {module.partition('.')[0]}, an optional dependency: {INSTALL}",
                          name=module) from e
