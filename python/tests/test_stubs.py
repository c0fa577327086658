# The type stubs describe the whole package: every public name and every public member of Image,
# and nothing that the package does not have.
import ast
import inspect
import os

import lumerix as lx

STUB = os.path.join(os.path.dirname(lx.__file__), "__init__.pyi")
# Members of Image that the stubs describe besides the public ones.
DUNDERS = {"__init__", "__array__", "__array_ufunc__", "__getitem__", "__len__", "__bool__",
           "__reduce__", "__dlpack__", "__dlpack_device__", "__add__", "__radd__", "__sub__",
           "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__", "__gt__", "__ge__",
           "__lt__", "__le__", "__eq__", "__ne__", "__and__", "__rand__", "__or__", "__ror__",
           "__xor__", "__rxor__", "__neg__", "__abs__"}


def stub_names():
    tree = ast.parse(open(STUB).read())
    top, members = set(), set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
        if isinstance(node, ast.ClassDef) and node.name == "Image":
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    members.add(item.target.id)
    return top, members


def test_the_stubs_and_the_package_name_the_same_things():
    top, members = stub_names()
    assert set(lx.__all__) <= top, set(lx.__all__) - top
    public = {n for n in top if n[0].isalpha() and n not in ("Number", "Operand")}
    assert public <= set(lx.__all__), public - set(lx.__all__)
    actual = {n for n in dir(lx.Image) if not n.startswith("_")} | DUNDERS
    missing_in_module = {m for m in members if not hasattr(lx.Image, m)}
    assert not missing_in_module
    assert actual <= members, actual - members


def test_every_exported_name_exists_and_is_documented_or_builtin():
    for name in lx.__all__:
        obj = getattr(lx, name)
        if inspect.isfunction(obj):
            assert obj.__doc__, name


def test_the_package_is_marked_typed():
    assert os.path.exists(os.path.join(os.path.dirname(lx.__file__), "py.typed"))
