"""Prints the version of the installed module."""

import _veltrinax

print(_veltrinax.version())
