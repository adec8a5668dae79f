"""Join crop-row segments, dropping the points where linked segments overlap."""

__version__ = "0.1.0"
