from . import geometry as geometry
from . import io as io
from . import pipelines as pipelines
from . import utility as utility

__version__: str

# Raised for internal faults; derives from BaseException so that
# `except Exception` handlers do not swallow it.
class PanicException(BaseException): ...
