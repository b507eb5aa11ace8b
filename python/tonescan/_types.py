"""The records the module returns: key presses and masked spans."""

from __future__ import annotations

import math
from dataclasses import astuple, dataclass
from typing import Any, Optional


@dataclass(frozen=True, eq=False)
class Press:
    """One key press.

    key is '0'-'9', '*', '#' or 'A'-'D'; start and end are seconds from the
    first frame (end is one past the tone's last frame); start_sample and
    end_sample are the same in frames at the input's rate; low_dbfs and
    high_dbfs are the peak levels of the two tones in dBFS (a full-scale sine
    is 0), NaN from the "library" detector.

    >>> Press("5", 1.25, 1.35, 10000, 10800, -10.0, -8.5)
    Press(key='5', start=1.25, end=1.35, start_sample=10000, end_sample=10800, low_dbfs=-10.0, high_dbfs=-8.5)
    """

    key: str
    start: float
    end: float
    start_sample: int
    end_sample: int
    low_dbfs: float
    high_dbfs: float

    # The levels are NaN from the "library" detector: the same press found
    # twice compares equal all the same.
    def _fields(self) -> tuple:
        return tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in astuple(self))

    def __eq__(self, other: Any) -> bool:
        if not isinstance(other, Press):
            return NotImplemented
        return self._fields() == other._fields()

    def __hash__(self) -> int:
        return hash(self._fields())


@dataclass(frozen=True)
class Span:
    """One masked span of a redacted recording, guards included.

    start and end are seconds (end one past the last masked frame);
    start_sample and end_sample the same in frames; key is the key whose
    tones it held, or None if not known; press is True when it held a press,
    False for tones too short or weak to count as one.
    """

    start: float
    end: float
    start_sample: int
    end_sample: int
    key: Optional[str]
    press: bool
