"""The type stubs shipped beside the module describe exactly the module's operations."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

import pytest

import bittensor_emberscope
from bittensor_emberscope import emberscope

PACKAGE = Path(bittensor_emberscope.__file__).parent
STUB = PACKAGE / "emberscope.pyi"
KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_functions() -> list[ast.FunctionDef]:
    return [node for node in stub_tree().body if isinstance(node, ast.FunctionDef)]


def stub_parameters(fn: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    """(name, kind, default) of each parameter, in order; inspect.Parameter.empty for none."""
    a = fn.args
    assert a.vararg is None and a.kwarg is None, fn.name
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    out = []
    for i, arg in enumerate(positional):
        kind = KINDS["posonlyargs"] if i < len(a.posonlyargs) else KINDS["args"]
        out.append((arg.arg, kind, defaults[i]))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        out.append((arg.arg, KINDS["kwonlyargs"], value))
    return out


def module_operations() -> list[str]:
    return [name for name, value in vars(emberscope).items()
            if inspect.isbuiltin(value) and getattr(value, "__module__", None) == emberscope.__name__]


def test_stub_and_marker_ship_in_the_package():
    assert STUB.is_file()
    assert (PACKAGE / "py.typed").is_file()


def test_stub_lists_every_operation_in_module_order():
    assert [fn.name for fn in stub_functions()] == module_operations()


@pytest.mark.parametrize("fn", stub_functions(), ids=lambda fn: fn.name)
def test_stub_signature_matches_the_module(fn):
    actual = inspect.signature(getattr(emberscope, fn.name))
    expected = [(p.name, p.kind, p.default) for p in actual.parameters.values()]
    assert stub_parameters(fn) == expected


@pytest.mark.parametrize("fn", stub_functions(), ids=lambda fn: fn.name)
def test_stub_annotates_every_parameter_and_result(fn):
    a = fn.args
    missing = [arg.arg for arg in a.posonlyargs + a.args + a.kwonlyargs if arg.annotation is None]
    assert missing == []
    assert fn.returns is not None


def test_stub_declares_the_constant():
    declared = {node.target.id: ast.unparse(node.annotation) for node in stub_tree().body
                if isinstance(node, ast.AnnAssign)}
    assert declared == {"OWNER_BURN_DECIMALS": "int"}
    assert type(emberscope.OWNER_BURN_DECIMALS) is int


def test_stub_documents_the_texts_the_module_documents():
    # Where the module carries a documentation text, the stub carries the same one.
    for fn in stub_functions():
        doc = inspect.getdoc(getattr(emberscope, fn.name))
        if doc:
            assert ast.get_docstring(fn) == doc, fn.name

