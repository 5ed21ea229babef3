"""DetectorParameters as a plain dict of its fields and back.

A dict of numbers crosses process boundaries (pickling, JSON files) without
relying on the class itself being serialisable.
"""

from __future__ import annotations

from typing import Any, Mapping

import morvelin as _native

REFINE_METHODS = {
    "none": _native.CORNER_REFINE_NONE,
    "subpix": _native.CORNER_REFINE_SUBPIX,
    "contour": _native.CORNER_REFINE_CONTOUR,
    "apriltag": _native.CORNER_REFINE_APRILTAG,
}


def field_names() -> list[str]:
    """The settable fields of DetectorParameters, in declaration order."""
    defaults = _native.DetectorParameters()
    return [name for name in type(defaults).__dict__ if not name.startswith("_")
            and not callable(getattr(defaults, name))]


def to_dict(parameters: Any) -> dict[str, int | float | bool]:
    return {name: getattr(parameters, name) for name in field_names()}


def from_dict(values: Mapping[str, Any]) -> Any:
    """A DetectorParameters with the given fields set; the others keep their
    defaults. Raises KeyError naming an unknown field, and the TypeError or
    ValueError of the field's own check, prefixed with the field name.
    `corner_refinement_method` also takes the names none, subpix, contour
    and apriltag."""
    parameters = _native.DetectorParameters()
    known = set(field_names())
    for name, value in values.items():
        if name not in known:
            raise KeyError(name)
        if name == "corner_refinement_method" and isinstance(value, str):
            if value.lower() not in REFINE_METHODS:
                raise ValueError(f"corner_refinement_method: unknown method {value!r} "
                                 f"(use one of {', '.join(REFINE_METHODS)} or 0 to 3)")
            value = REFINE_METHODS[value.lower()]
        try:
            setattr(parameters, name, value)
        except (TypeError, ValueError, OverflowError) as error:
            reason = str(error).removeprefix("argument 'v': ")
            raise type(error)(f"{name}: {reason}") from None
    return parameters
