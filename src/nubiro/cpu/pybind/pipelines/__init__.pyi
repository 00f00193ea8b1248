from . import registration as registration
