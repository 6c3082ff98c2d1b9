"""In-memory conversion and repair of video containers."""

from morvex._morvex import *  # noqa: F401,F403
from morvex._morvex import __all__, __version__  # noqa: F401
