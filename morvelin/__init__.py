"""morvelin: fiducial marker, ChArUco and chessboard detection and camera pose
estimation for NumPy images.

Everything lives in the compiled extension ``morvelin.morvelin`` and is
re-exported here, so ``import morvelin`` gives the whole interface.
"""

from . import morvelin as _native

for _name in dir(_native):
    if not _name.startswith("__"):
        globals()[_name] = getattr(_native, _name)
del _name

__all__ = [name for name in dir(_native) if not name.startswith("_")]
__version__ = "0.1.0"
