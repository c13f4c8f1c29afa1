"""The package's version: the release of the client library it was written for."""

__version__ = "1.0.0"
