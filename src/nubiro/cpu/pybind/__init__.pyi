from . import geometry as geometry
from . import io as io
from . import pipelines as pipelines
from . import utility as utility

__version__: str

class PanicException(BaseException):
    """Raised for an internal fault of the library (never for bad data); derives from BaseException so that
    `except Exception` handlers do not swallow it."""
