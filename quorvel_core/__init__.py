"""quorvel_core: a native accelerator for Django REST Framework serializers."""

from . import _quorvel_core

__version__ = _quorvel_core.__version__
