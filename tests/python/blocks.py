"""Comparing a merge's result with the blocks it is made of."""

from __future__ import annotations

import numpy as np


def is_blocks_in_some_order(result: np.ndarray, blocks: list[np.ndarray]) -> bool:
    """Whether `result` is the non-empty `blocks` stacked in some order."""
    remaining = [b for b in blocks if len(b)]

    def fits(at: int, left: list[np.ndarray]) -> bool:
        if not left:
            return at == len(result)
        for i, block in enumerate(left):
            if np.array_equal(result[at:at + len(block)], block, equal_nan=True) and \
                    fits(at + len(block), left[:i] + left[i + 1:]):
                return True
        return False

    return fits(0, remaining)
