# Seeds the process-wide random engine (the two's-complement bits of a signed 32-bit value).
def seed(seed: int) -> None:
    """Seeds the process-wide random engine that RANSAC draws from; the same seed gives the same samples, whatever the
    thread count.
    """
