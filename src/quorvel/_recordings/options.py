"""The AGC's options in one record: name, type, default, check and help.

Every Python face is made from ``OPTIONS``: the arguments of ``quorvel
agc`` (``--ref-db``...), the keywords of ``level_file``,
``level_recording`` and ``level_files`` (signature and docstring entries),
the batch's task arguments, the channel bank and its saved-state check,
and the parameters and ``set_<name>`` callbacks of ``agc_cc``. Each option
is an attribute of ``AGC`` and ``AGCBank`` of the same name. Each face also
takes ``preset``, a name of ``quorvel.agc.PRESETS``, whose values replace
the defaults of the options not given.

Only the standard library is imported until a preset is asked for: the
command builds its parser from this module before anything else loads.
"""

from __future__ import annotations

import functools
import inspect
import math
import numbers
import operator
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Optional, TypeVar

from quorvel._recordings.errors import UsageError

R = TypeVar("R")

#: Every option's value by name, in the order of ``OPTIONS``.
Settings = dict[str, Any]


@dataclass(frozen=True)
class Rule:
    """What a value must be: ``described`` words it for Python callers,
    ``expected`` for the command once the text reads as a number (a finite
    one unless ``infinite`` allows the infinities), and ``bounds`` for help
    texts (empty when there is nothing to add)."""

    test: Callable[[Any], bool]
    described: str
    expected: str
    bounds: str = ""
    infinite: bool = False


FINITE = Rule(math.isfinite, "a finite number", "a finite number")
POSITIVE = Rule(lambda v: math.isfinite(v) and v > 0, "a positive finite number", "a positive number", "positive")
FRACTION = Rule(lambda v: 0 < v <= 1, "a number in (0, 1]", "a number in (0, 1]", "in (0, 1]")
SHARE = Rule(lambda v: 0 <= v <= 1, "a number in [0, 1]", "a number in [0, 1]", "in [0, 1]")
COUNT = Rule(lambda v: 1 <= v < 2**64, "a whole number from 1 to 2**64 - 1", "a whole number from 1 to 2**64 - 1",
             "1 to 2**64 - 1")
TRUTH = Rule(lambda v: v in (False, True), "True or False", "True or False")
NUMBER = Rule(lambda v: not math.isnan(v), "a number, inf or -inf (not NaN)", "a number, inf or -inf", infinite=True)


def _real(value: Any) -> Optional[float]:
    if isinstance(value, numbers.Real):
        try:
            return float(value)
        except OverflowError:  # an int beyond every float
            return None
    return None


def checked(value: Any, name: str, rule: Rule, kind: type) -> Any:
    """``value`` as a ``kind`` (float, int or bool); UsageError naming ``name``
    when it breaks ``rule``, TypeError for an ``int`` that is no integer."""
    if kind is int:
        value = operator.index(value)
        ok = rule.test(value)
    elif kind is bool:
        ok = rule.test(value)
    else:
        real = _real(value)
        ok = real is not None and rule.test(real)
    if not ok:
        raise UsageError(f"{name} must be {rule.described}, got {value!r}")
    return kind(value)


@dataclass(frozen=True)
class Option:
    """One setting of the AGC. ``name`` is its keyword, its attribute of
    ``AGC`` and ``AGCBank`` and, dashed, its flag (``--clip-db``); a ``bool``
    option is a switch. ``create``: an argument of the constructors, which
    seed the loop from it, in this order; the others are set afterwards."""

    name: str
    type: type
    default: Any
    rule: Rule
    help: str
    create: bool = False

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")

    @property
    def described(self) -> str:
        """The help text with the bounds the check holds it to."""
        return f"{self.help}, {self.rule.bounds}" if self.rule.bounds else self.help

    def check(self, value: Any) -> Any:
        return checked(value, self.name, self.rule, self.type)


OPTIONS = (
    Option("ref_db", float, 0.0, FINITE, "target output power in dB", create=True),
    Option("loop_bw", float, 0.0025, POSITIVE, "loop bandwidth in cycles per sample", create=True),
    Option("alpha", float, 0.05, FRACTION, "coefficient of the power detector's moving average", create=True),
    Option("decim", int, 8, COUNT, "samples per loop update, the block path's chunk length"),
    Option("acquire", bool, False, TRUTH, "the acquisition mode, in which the detector follows the gain the loop "
                                          "applies: no dip below the target after a loud onset"),
    Option("clip_db", float, 120.0, FINITE, "output clip level in dB, per component"),
    Option("max_gain_db", float, math.inf, NUMBER, "the gain ceiling, the highest gain command the loop may "
                                                   "reach in dB; inf for none"),
    Option("gate_db", float, -math.inf, NUMBER, "the gate, an input power in dB below which the loop holds its gain "
                                                "and detector; -inf for none"),
    Option("attack_db", float, math.inf, NUMBER, "the fast attack, how far above ref_db in dB an update's own level "
                                                 "must be to be corrected at once; inf for never"),
)

NAMES = tuple(option.name for option in OPTIONS)


def check(settings: Mapping[str, Any]) -> Settings:
    """Every option's value in ``settings`` (the default where absent), checked
    in the record's order; UsageError naming the first that is out of range."""
    return {o.name: o.check(settings.get(o.name, o.default)) for o in OPTIONS}


def preset(name: str) -> Settings:
    """Every option's value as ``AGC.from_preset(name)`` sets it: the preset's
    over the defaults. UsageError, listing the presets, for an unknown name."""
    from quorvel.agc import AGC

    try:
        made = AGC.from_preset(name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    try:
        return {o.name: getattr(made, o.name) for o in OPTIONS}
    finally:
        made.destroy()


def resolve(given: Mapping[str, Any], name: Optional[str] = None) -> Settings:
    """Every option's value: those ``given``, the rest from the preset ``name``
    (its values over the defaults) or, without one, the defaults. Unchecked."""
    base = preset(name) if name is not None else {o.name: o.default for o in OPTIONS}
    return {o.name: given.get(o.name, base[o.name]) for o in OPTIONS}


def as_json(settings: Mapping[str, Any]) -> dict[str, Any]:
    """``settings`` as a record in a JSON file writes them: JSON has no
    infinities, so an infinite setting (one that is off) is the text "inf"
    or "-inf"."""
    return {key: str(value) if isinstance(value, float) and math.isinf(value) else value
            for key, value in settings.items()}


def build(kind: Callable[..., R], settings: Mapping[str, Any], *leading: Any) -> R:
    """``kind(*leading, ...)`` (``AGC`` or ``AGCBank``) with the creation
    options as positional arguments, then every other option set on it."""
    made = kind(*leading, *(settings[o.name] for o in OPTIONS if o.create))
    for option in OPTIONS:
        if not option.create:
            setattr(made, option.name, settings[option.name])
    return made


MARK = "{AGC options}"
PRESET_HELP = ("start from the values of ``quorvel.agc.PRESETS[preset]`` (``'burst'``) instead of the defaults, "
               "as ``AGC.from_preset`` does; the options given replace its values")


def document(doc: str, checked: bool = True) -> str:
    """``doc`` with its line ``{AGC options}``, if any, replaced by one numpydoc
    parameter entry per option and one for ``preset``, at that line's
    indentation: with the bounds a checked value keeps, or, unchecked, as the
    ``AGC`` attribute."""
    lines = doc.splitlines(keepends=True)
    at = next((k for k, line in enumerate(lines) if line.strip() == MARK), None)
    if at is None:
        return doc
    indent = lines[at][:len(lines[at]) - len(lines[at].lstrip())]
    entries = []
    for option in OPTIONS:
        if checked:
            head, text = f"{option.name} : {option.type.__name__}, optional", option.described
        else:
            head, text = f"{option.name} : {option.type.__name__}", f"{option.help}, as ``AGC.{option.name}``"
        entries += [f"{indent}{head}\n", f"{indent}    {text[0].upper()}{text[1:]} (default {option.default!r}).\n"]
    entries += [f"{indent}preset : str, optional\n", f"{indent}    {PRESET_HELP[0].upper()}{PRESET_HELP[1:]}.\n"]
    return "".join(lines[:at] + entries + lines[at + 1:])


def with_options(*, positional: int = 0, checked: bool = True) -> Callable[[Callable[..., R]], Callable[..., R]]:
    """Gives a function one parameter per option and ``preset`` in place of
    its parameter ``settings``, which receives every option's value (given,
    else the preset's, else the default; see :func:`resolve`) as
    :data:`Settings`, unchecked. The first ``positional`` options may be
    given by position, the others by keyword only; the signature (as
    ``inspect`` shows it) and the docstring (see :func:`document`) say so."""

    def decorate(function: Callable[..., R]) -> Callable[..., R]:
        signature = inspect.signature(function)
        own = list(signature.parameters.values())
        leading = [p.name for p in own].index("settings")
        made = [inspect.Parameter(o.name, inspect.Parameter.POSITIONAL_OR_KEYWORD if k < positional else
                                  inspect.Parameter.KEYWORD_ONLY, default=o.default, annotation=o.type.__name__)
                for k, o in enumerate(OPTIONS)]
        made.append(inspect.Parameter("preset", inspect.Parameter.KEYWORD_ONLY, default=None,
                                      annotation="Optional[str]"))
        parameters = own[:leading] + made + own[leading + 1:]
        by_position = NAMES[:positional]

        @functools.wraps(function)
        def wrapper(*args: Any, **kwargs: Any) -> R:
            given = dict(zip(by_position, args[leading:]))
            if positional:
                if len(args) > leading + positional:
                    raise TypeError(f"{function.__name__}() takes at most {leading + positional} positional "
                                    f"arguments ({len(args)} given)")
                args = args[:leading]
            for name in NAMES:
                if name in kwargs:
                    if name in given:
                        raise TypeError(f"{function.__name__}() got multiple values for argument '{name}'")
                    given[name] = kwargs.pop(name)
            return function(*args, settings=resolve(given, kwargs.pop("preset", None)), **kwargs)

        wrapper.__signature__ = signature.replace(  # type: ignore[attr-defined]
            parameters=sorted(parameters, key=lambda p: p.kind))  # stable: keyword-only options stay first
        wrapper.__doc__ = document(function.__doc__ or "", checked)
        return wrapper

    return decorate
