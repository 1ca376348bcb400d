"""The Vorlanx package: the simpleImage_ext extension and the pure-Python simpleImage_tools."""

__version__: str


def __getattr__(name: str) -> str:
    # Resolved on first use: importlib.metadata costs several milliseconds, which importing the
    # extension module through this package should not pay.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    version = _installed_version()
    globals()["__version__"] = version
    return version


def _installed_version() -> str:
    from importlib import metadata
    from pathlib import Path

    try:
        dist = metadata.distribution("Vorlanx-simpleImage")
    except metadata.PackageNotFoundError:
        return "0+unknown"
    # Only the metadata of the copy being run counts: a build tree imported through PYTHONPATH
    # while another copy is installed is not that version.
    installed = Path(str(dist.locate_file("Vorlanx/__init__.py")))
    if installed.resolve() != Path(__file__).resolve():
        return "0+unknown"
    return dist.version
