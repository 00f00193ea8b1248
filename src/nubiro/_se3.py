"""Rigid motions as 6-vectors and back, for many motions at once.

A motion's 6-vector is (w, v): the rotation vector w (axis times angle, radians) first, then v,
the translation part of the twist, the order of the package's 6x6 information matrices. Every
function takes stacks: (m, 3) or (m, 6) vectors and (m, 4, 4) matrices.
"""
from __future__ import annotations

import numpy as np

# Below this angle the closed forms lose digits to cancellation; their Taylor series take over.
_SMALL = 1e-5


def hat(w: np.ndarray) -> np.ndarray:
    """The cross-product matrices [w]x of a stack of 3-vectors."""
    m = np.zeros(w.shape[:-1] + (3, 3))
    m[..., 0, 1], m[..., 0, 2] = -w[..., 2], w[..., 1]
    m[..., 1, 0], m[..., 1, 2] = w[..., 2], -w[..., 0]
    m[..., 2, 0], m[..., 2, 1] = -w[..., 1], w[..., 0]
    return m


def _coefficients(theta: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """sin(t)/t, (1 - cos t)/t^2 and (t - sin t)/t^3, with their series near zero."""
    small = theta < _SMALL
    t = np.where(small, 1.0, theta)
    t2 = t * t
    a = np.where(small, 1 - theta ** 2 / 6, np.sin(t) / t)
    b = np.where(small, 0.5 - theta ** 2 / 24, (1 - np.cos(t)) / t2)
    c = np.where(small, 1 / 6 - theta ** 2 / 120, (t - np.sin(t)) / (t2 * t))
    return a, b, c


def exp(xi: np.ndarray) -> np.ndarray:
    """The 4x4 motions of a stack of 6-vectors."""
    w, v = xi[:, :3], xi[:, 3:]
    theta = np.linalg.norm(w, axis=1)
    a, b, c = _coefficients(theta)
    k = hat(w)
    k2 = k @ k
    eye = np.eye(3)
    rotation = eye + a[:, None, None] * k + b[:, None, None] * k2
    jacobian = eye + b[:, None, None] * k + c[:, None, None] * k2
    out = np.zeros((len(xi), 4, 4))
    out[:, :3, :3] = rotation
    out[:, :3, 3] = np.einsum("mij,mj->mi", jacobian, v)
    out[:, 3, 3] = 1.0
    return out


def rotation_log(r: np.ndarray) -> np.ndarray:
    """Rotation vectors of a stack of 3x3 rotations; well defined up to a half turn."""
    skew = np.stack((r[:, 2, 1] - r[:, 1, 2], r[:, 0, 2] - r[:, 2, 0], r[:, 1, 0] - r[:, 0, 1]), axis=1)
    # atan2 keeps the angle accurate at both ends, where arccos of the trace loses half the digits.
    sin = np.linalg.norm(skew, axis=1) / 2
    theta = np.arctan2(sin, (np.trace(r, axis1=1, axis2=2) - 1) / 2)
    # Away from a half turn the skew part gives the axis; near it sin(theta) vanishes, and the
    # axis comes from the symmetric part instead: (R + I)/2 = a a^T there.
    near_half_turn = theta > np.pi - 1e-3
    scale = np.where(theta < _SMALL, 0.5 + theta ** 2 / 12, theta / (2 * np.where(sin == 0, 1.0, sin)))
    w = skew * scale[:, None]
    for m in np.flatnonzero(near_half_turn):
        s = (r[m] + r[m].T) / 4 + np.eye(3) / 2
        col = int(np.argmax(np.diag(s)))
        axis = s[:, col] / np.sqrt(max(s[col, col], 1e-300))
        if axis @ skew[m] < 0:  # keep the sign the skew part still carries
            axis = -axis
        w[m] = axis / np.linalg.norm(axis) * theta[m]
    return w


def log(t: np.ndarray) -> np.ndarray:
    """The 6-vectors of a stack of 4x4 motions (the inverse of `exp`)."""
    w = rotation_log(t[:, :3, :3])
    theta = np.linalg.norm(w, axis=1)
    small = theta < _SMALL
    th = np.where(small, 1.0, theta)
    # The inverse of exp's left Jacobian: I - K/2 + d K^2 with d = (1 - (t sin t)/(2 (1 - cos t))) / t^2.
    d = np.where(small, 1 / 12 + theta ** 2 / 720, (1 - th * np.sin(th) / (2 * (1 - np.cos(th)))) / (th * th))
    k = hat(w)
    inverse = np.eye(3) - 0.5 * k + d[:, None, None] * (k @ k)
    return np.concatenate((w, np.einsum("mij,mj->mi", inverse, t[:, :3, 3])), axis=1)


def inverse(t: np.ndarray) -> np.ndarray:
    """Inverses of a stack of rigid motions."""
    out = np.zeros_like(t)
    rt = np.swapaxes(t[:, :3, :3], 1, 2)
    out[:, :3, :3] = rt
    out[:, :3, 3] = -np.einsum("mij,mj->mi", rt, t[:, :3, 3])
    out[:, 3, 3] = 1.0
    return out


def adjoint(t: np.ndarray) -> np.ndarray:
    """The 6x6 maps that carry a 6-vector through a motion: T exp(x) T^-1 = exp(Ad(T) x)."""
    r, p = t[:, :3, :3], t[:, :3, 3]
    out = np.zeros((len(t), 6, 6))
    out[:, :3, :3] = r
    out[:, 3:, 3:] = r
    out[:, 3:, :3] = hat(p) @ r
    return out


def bracket(xi: np.ndarray) -> np.ndarray:
    """The 6x6 matrices ad(x) of the Lie bracket, [[w]x, 0; [v]x, [w]x]."""
    out = np.zeros((len(xi), 6, 6))
    kw = hat(xi[:, :3])
    out[:, :3, :3] = kw
    out[:, 3:, 3:] = kw
    out[:, 3:, :3] = hat(xi[:, 3:])
    return out
