"""Loads the shared libraries named on the command line through ctypes, in
that order, into a fresh Python 3 process with default glibc settings."""
import ctypes
import os
import sys

if os.environ.get("GLIBC_TUNABLES"):
    sys.exit(f"GLIBC_TUNABLES={os.environ['GLIBC_TUNABLES']} is set; the loads must succeed with the defaults")
for path in sys.argv[1:]:
    try:
        ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
    except OSError as e:
        sys.exit(f"ctypes {path}: {e}")
    print(f"loaded {path}")
