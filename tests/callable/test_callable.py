"""Every function and method reads like a Python function: signature, attributes, binding
errors with the interpreter's texts, the exact-type and int rules, method binding, help()."""

import copy
import gc
import inspect
import itertools
import pickle
import pydoc
import random
import re
import sys
import textwrap
import types
import weakref
from pathlib import Path

import pytest
import reference_signatures as ref
from helpers import run_python

from quillkit import cargohold, chronicle

# Functions whose binding is compared by calling them: bodies never run for these calls,
# because every call below fails while binding.
MODULE_FUNCTIONS = [(chronicle, f) for f in ref.CHRONICLE_FUNCTIONS] + [
    (cargohold, f) for f in ref.CARGOHOLD_FUNCTIONS
]


def method_pairs():
    for class_name, methods in ref.CHRONICLE_METHODS.items():
        real_class = getattr(chronicle, class_name)
        for name, reference in methods.items():
            real = vars(real_class)[name]
            if isinstance(real, property):
                real = real.fget
            yield f"{class_name}.{name}", real, reference


ALL_PAIRS = [(f.__name__, getattr(module, f.__name__), f) for module, f in MODULE_FUNCTIONS] + list(
    method_pairs()
)


@pytest.mark.parametrize("label, real, reference", ALL_PAIRS, ids=[p[0] for p in ALL_PAIRS])
def test_introspection_matches_a_python_function(label, real, reference):
    assert inspect.signature(real) == inspect.signature(reference)
    assert real.__defaults__ == reference.__defaults__
    assert real.__kwdefaults__ == reference.__kwdefaults__
    assert real.__annotations__ == reference.__annotations__
    assert real.__name__ == reference.__name__
    assert real.__qualname__ == label
    assert real.__module__ in ("quillkit.chronicle", "quillkit.cargohold")
    owner = cargohold if real.__module__ == "quillkit.cargohold" else chronicle
    assert "." in label or getattr(owner, label) is real
    assert inspect.isroutine(real) and callable(real)


def test_namespace_orders_and_docstrings():
    names = [f.__name__ for f in ref.CARGOHOLD_FUNCTIONS]
    public = [n for n in vars(cargohold) if not n.startswith("__")]
    assert public[-len(names) :] == names
    for name in names:
        function = getattr(cargohold, name)
        assert function.__module__ == "quillkit.cargohold"
        assert isinstance(function.__doc__, str) and function.__doc__.strip()
    assert cargohold.__doc__ is None and chronicle.__doc__ is None


def test_function_attributes_behave_like_python_ones():
    function = cargohold.load_local_file_content
    function.custom = 1
    assert function.__dict__ == {"custom": 1}
    del function.custom
    assert function.__globals__ is vars(cargohold)
    assert repr(function).startswith("<function load_local_file_content at 0x")
    assert weakref.ref(function)() is function
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.deepcopy(function) is function
    assert pickle.loads(pickle.dumps(chronicle._LazyLogger.debug)) is chronicle._LazyLogger.debug
    with pytest.raises(AttributeError):
        function.__defaults__ = ()
    with pytest.raises(TypeError):
        type(function)()


@pytest.mark.parametrize(
    "function", [cargohold.find_files_with_extensions, chronicle.get_logger], ids=["cargohold", "chronicle"]
)
def test_the_type_belongs_to_its_module_as_a_class_does(function):
    function_type, module = type(function), function.__module__
    assert function_type.__module__ == module and function_type.__qualname__ == "function"
    assert repr(function_type) == f"<class '{module}.function'>"
    assert inspect.getmodule(function_type).__name__ == module
    # Neither module has the type as an attribute, as builtins has no `function`: pickling it
    # fails as pickling the interpreter's function type does.
    for unreachable in [function_type, types.FunctionType]:
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(unreachable)
    # A function's own __module__ stays its own, under any spelling of the name.
    try:
        for spelling in ["__module__", "".join(["__mod", "ule__"]), StrSub("__module__")]:
            setattr(function, spelling, "elsewhere")
            assert getattr(function, spelling) == "elsewhere" and function.__dict__ == {}
            setattr(function, spelling, module)
        del function.__module__
        assert function.__module__ is None and function_type.__module__ == module
    finally:
        function.__module__ = module
    assert pickle.loads(pickle.dumps(function)) is function


def python_twin(real, reference):
    """The reference remade as a plain Python function with `real`'s name, docstring and module:
    what pydoc makes of it is what it must make of `real`."""
    twin = types.FunctionType(
        reference.__code__,
        reference.__globals__,
        reference.__name__,
        reference.__defaults__,
        reference.__closure__,
    )
    twin.__kwdefaults__ = reference.__kwdefaults__
    twin.__annotations__ = dict(reference.__annotations__)
    twin.__qualname__, twin.__module__, twin.__doc__ = real.__qualname__, real.__module__, real.__doc__
    return twin


def method_owner(label):
    return getattr(chronicle, label.partition(".")[0]) if "." in label else None


@pytest.mark.parametrize("label, real, reference", ALL_PAIRS, ids=[p[0] for p in ALL_PAIRS])
def test_help_reads_as_for_a_python_function(label, real, reference):
    twin = python_twin(real, reference)
    owner = method_owner(label)
    for renderer in (pydoc.plaintext, pydoc.html):
        assert renderer.docroutine(real, cl=owner) == renderer.docroutine(twin, cl=owner)
    title, _, page = pydoc.render_doc(real, "Help on %s:", renderer=pydoc.plaintext).partition("\n")
    twin_title, _, twin_page = pydoc.render_doc(twin, "Help on %s:", renderer=pydoc.plaintext).partition("\n")
    assert page == twin_page
    # pydoc says "function <name>" of the interpreter's own function type alone, and of any other
    # routine what it says of a built-in method descriptor (str.join), which names it from 3.14.
    assert title == twin_title.replace(f"function {real.__name__}", pydoc.describe(real))
    assert real.__name__ in title or "join" not in pydoc.describe(str.join)


def test_help_renders_every_signature():
    for module, references in [(cargohold, ref.CARGOHOLD_FUNCTIONS), (chronicle, ref.CHRONICLE_FUNCTIONS)]:
        text = pydoc.render_doc(module, renderer=pydoc.plaintext)
        for reference in references:
            twin = python_twin(getattr(module, reference.__name__), reference)
            expected = pydoc.plaintext.docroutine(twin, reference.__name__, module.__name__)
            assert pydoc.plaintext.indent(expected.rstrip()) in text
        if module is cargohold:
            assert (
                "    load_local_file_content(file_path, label: " in text and " = '檔案', logger=None)" in text
            )
    assert "class LevelSwitchingFormatter(logging.Formatter)" in text
    for class_name, methods in ref.CHRONICLE_METHODS.items():
        owner = getattr(chronicle, class_name)
        text = pydoc.render_doc(owner, renderer=pydoc.plaintext)
        for name, reference in methods.items():
            real = vars(owner)[name]
            if isinstance(real, property) or not pydoc.visiblename(name, obj=real):
                continue  # a property is listed as data; pydoc hides private names
            twin = python_twin(real, reference)
            expected = pydoc.plaintext.docroutine(twin, name, None, owner)
            assert pydoc.plaintext.indent(expected.rstrip(), " |  ") in text
    assert "Lazy logger" in pydoc.render_doc(chronicle._LazyLogger, renderer=pydoc.plaintext)


def python_error(reference, qualname, args, kwargs):
    reference.__qualname__ = qualname
    try:
        reference(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


def binding_cases(reference, rng):
    """Argument lists around the signature: too few, too many, unknown and repeated keywords."""
    parameters = list(inspect.signature(reference).parameters.values())
    named = [p.name for p in parameters if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    for count in range(0, len(parameters) + 3):
        yield [object()] * count, {}
    for _ in range(60):
        count = rng.randrange(0, len(parameters) + 3)
        chosen = rng.sample(named, rng.randrange(0, len(named) + 1)) if named else []
        if rng.random() < 0.4:
            chosen.append(rng.choice(["bogus", "args", "kwargs", "self"]))
        yield [object()] * count, {name: object() for name in chosen}


@pytest.mark.parametrize("label, real, reference", ALL_PAIRS, ids=[p[0] for p in ALL_PAIRS])
def test_binding_errors_match_the_interpreter(label, real, reference):
    rng = random.Random(label)
    checked = 0
    for args, kwargs in binding_cases(reference, rng):
        expected = python_error(reference, label, args, kwargs)
        if expected is None:
            continue  # binds: the body would run, which is not what this test is about
        with pytest.raises(TypeError) as raised:
            real(*args, **kwargs)
        assert str(raised.value) == expected, (args, kwargs)
        checked += 1
    assert checked > 0


def test_bound_method_errors_count_self():
    logger = chronicle.lazy_logger("x")
    with pytest.raises(
        TypeError, match=r"^_LazyLogger.debug\(\) missing 1 required positional argument: 'msg'$"
    ):
        logger.debug()
    with pytest.raises(TypeError, match=r"got multiple values for argument 'self'"):
        logger.debug("m", self=1)
    with pytest.raises(
        TypeError, match=r"^_LazyLogger.__init__\(\) takes from 1 to 2 positional arguments but 3 were given$"
    ):
        chronicle._LazyLogger("a", "b")


def test_keyword_names_built_at_run_time_bind():
    name = "".join(["fi", "le_path"])  # not the interned object
    assert cargohold.load_local_file_content(**{name: "/nonexistent/x"}) == ""


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


SUBCLASSES = {"str": StrSub("x"), "list": ListSub(), "tuple": TupleSub()}


VALID = {"str": "", "list": [], "tuple": ()}


@pytest.mark.parametrize("function_name", sorted(ref.EXACT_TYPES))
def test_exact_type_rules(function_name):
    """A wrong type, a subclass, and None where the default is not None are refused by name,
    before the body runs."""
    real = getattr(cargohold, function_name)
    rules = ref.EXACT_TYPES[function_name]
    reference = next(f for f in ref.CARGOHOLD_FUNCTIONS if f.__name__ == function_name)
    parameters = inspect.signature(reference).parameters
    for name, (expected, none_ok) in rules.items():
        refused = [3.5, SUBCLASSES[expected], b"x"] + ([] if none_ok else [None])
        for value in refused:
            kwargs = {
                other: VALID[rules[other][0]] if other in rules else object()
                for other, parameter in parameters.items()
                if parameter.default is parameter.empty or other == name
            }
            kwargs[name] = value
            with pytest.raises(TypeError) as raised:
                real(**kwargs)
            assert str(raised.value) == (
                f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
            )


def test_rules_apply_in_parameter_order():
    with pytest.raises(TypeError, match="Argument 'content'"):
        cargohold.save_local_file_content("x", 1, label=2)
    with pytest.raises(TypeError, match="Argument 'fn'"):
        cargohold.replace_file_extension(newExt=1, orgExt=2, fn=3)


def test_int_rule_converts_numbers_and_refuses_others(clean_logging):
    logger = chronicle.setup_logging("intrule", level=30.9, console=False, file=None)
    assert logger.level == 30
    chronicle.setup_logging("intrule", level=True, console=False, file=None)
    assert logger.level == 1
    for refused in ["10", b"10", [10], object()]:
        with pytest.raises(TypeError) as raised:
            chronicle.setup_logging("intrule", level=refused)
        assert str(raised.value) == (
            f"Argument 'level' has incorrect type (expected int, got {type(refused).__name__})"
        )
    with pytest.raises(ValueError):
        chronicle.setup_logging("intrule", level=float("nan"))


def test_declared_str_result_is_checked(clean_logging):
    chronicle._BASE_NAME = 42
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        chronicle.base_name()
    chronicle._BASE_NAME = None
    assert chronicle.base_name() is None


def test_functions_bind_as_methods_like_python_functions():
    class Holder:
        load = cargohold.load_local_file_content

    assert Holder.load is cargohold.load_local_file_content
    bound = Holder().load
    assert bound.__func__ is cargohold.load_local_file_content
    with pytest.raises(TypeError, match="Argument 'label'"):
        bound(label=None)
    signature = inspect.signature(chronicle.lazy_logger("x").info)
    assert str(signature) == "(msg, *args, **kwargs)"


def test_missing_global_reads_as_name_error():
    # In a child: deleting and restoring a global would change the namespace's order here.
    result = run_python(
        "from quillkit import cargohold\n"
        "del cargohold.Path\n"
        "try:\n"
        "    cargohold.load_local_file_content('x')\n"
        "except NameError as e:\n"
        "    print(e)\n"
    )
    assert result.stdout.strip() == "name 'Path' is not defined"


def test_many_keywords_and_arguments():
    logger = chronicle.lazy_logger("many")
    kwargs = {f"k{i}": i for i in range(40)}
    with pytest.raises(TypeError):
        logger.error("m", *range(30), **kwargs)  # the logger refuses the keywords, twice
    for combination in itertools.islice(itertools.permutations(["file_path", "label", "logger"]), 6):
        values = {"file_path": "/nonexistent", "label": "L", "logger": None}
        assert cargohold.load_local_file_content(**{k: values[k] for k in combination}) == ""


def readonly_handler(directory, stat_module=None):
    """A fresh function object, reachable from no module: the handler that a remove_directory
    call makes, kept by a replaced shutil.rmtree. `stat_module` replaces the stat module the
    call imports (the first cell of the handler's closure)."""
    handlers = []
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(
            cargohold,
            "shutil",
            types.SimpleNamespace(rmtree=lambda path, **hooks: handlers.extend(hooks.values())),
        )
        patch.setattr(cargohold, "log", types.SimpleNamespace(warning=lambda message: None))
        if stat_module is not None:
            patch.setitem(sys.modules, "stat", stat_module)
        cargohold.remove_directory(directory)
    return handlers.pop()


def test_nested_functions_keep_their_state_out_of_reach(tmp_path):
    """The removal's handler is a closure: no attribute leads to its state, and the collector
    frees it together with the cycles its names close, as for a Python function."""
    handler = readonly_handler(tmp_path)
    assert not hasattr(handler, "__self__") and not hasattr(handler, "__closure__")

    class Name(str):
        pass

    for attribute in ["__name__", "__qualname__"]:
        name = Name("cyclic")
        name.owner = handler
        setattr(handler, attribute, name)
    collected = weakref.ref(handler)
    del handler, name
    gc.collect()
    assert collected() is None


# The collector and the function object: each field of the object's layout that holds Python
# objects, read from its declaration, so that a field added without a case here fails.
FUNCTION_OBJECT = Path(__file__).resolve().parents[2] / "quillkit" / "support" / "function_object.hpp"


def function_object_fields():
    declaration = FUNCTION_OBJECT.read_text()
    layout = declaration[declaration.index("struct FunctionObject {") :]
    layout = layout[: layout.index("\n};")]
    return re.findall(r"PyObject\*\s+(\w+)(?:\[\w+\])?;", layout)


# Fields the collector need not see: what they hold can close no cycle.
UNVISITED_FIELDS = {
    "weakrefs": "the list of weak references, which holds no reference",
    "names": "the parameters' interned names, exact texts made from the declaration",
}


class Text(str):
    """A text that can hold a reference: the other end of a cycle through a field of texts."""


class Refusal(Exception):
    """An error whose text is the object given, as the removal's handler keeps it."""

    def __init__(self, text):
        super().__init__()
        self.text = text

    def __str__(self):
        return self.text


def text_holding(function):
    text = Text("cyclic")
    text.back = function
    return text


def through(close):
    """A case that closes a cycle through one field of a fresh handler with `close(handler)`."""
    return lambda directory: close(readonly_handler(directory))


def through_stat_cell(directory):
    holder = types.SimpleNamespace()
    holder.back = readonly_handler(directory, stat_module=holder)


def through_error_cell(directory):
    # The handler keeps the text of the first failure it could not overcome: here, a link that
    # is still there after the retry (which does nothing).
    handler = readonly_handler(directory)
    link = directory / "stays"
    link.symlink_to("missing")
    handler(lambda path: None, str(link), Refusal(text_holding(handler)))


def through_module_and_globals(directory):
    """A second instance of the module, which its functions hold and which holds them, is
    collected once nothing else holds it."""
    child = run_python(
        textwrap.dedent("""
        import gc, importlib.util
        from quillkit import cargohold
        function_type = type(cargohold.load_local_file_content)
        def functions():
            return sum(type(held) is function_type for held in gc.get_objects())
        gc.collect()
        before = functions()
        spec = importlib.util.find_spec("quillkit.cargohold")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        made = functions() - before
        del module
        gc.collect()
        print(made, functions() - before)
    """)
    )
    made, left = map(int, child.stdout.split())
    assert made > 20 and left == 0


def defaults_visited(directory):
    # Constants (None, texts, numbers), which close no cycle: the collector must still see them.
    function = cargohold.load_local_file_content
    referents = gc.get_referents(function)
    values = [*function.__defaults__, *(function.__kwdefaults__ or {}).values()]
    assert any(held is function.__defaults__ for held in referents)
    assert all(any(held is value for held in referents) for value in values)


# How a case closes a cycle through each field. A tuple has no clear of its own, so where a
# field takes any object, only the function's clear can break the cycle.
COLLECTOR_CASES = {
    "name": [through(lambda function: setattr(function, "__name__", text_holding(function)))],
    "qualname": [through(lambda function: setattr(function, "__qualname__", text_holding(function)))],
    "doc": [through(lambda function: setattr(function, "__doc__", (function,)))],
    "module_name": [through(lambda function: setattr(function, "__module__", (function,)))],
    "signature": [through(lambda function: setattr(function, "__signature__", (function,)))],
    "annotations": [through(lambda function: function.__annotations__.update(back=function))],
    "dict": [through(lambda function: setattr(function, "back", function))],
    "cells": [through_stat_cell, through_error_cell],
    "module": [through_module_and_globals],
    "globals": [through_module_and_globals],
    "defaults": [defaults_visited],
    "default_values": [defaults_visited],
}


def functions_alive():
    function_type = type(cargohold.load_local_file_content)
    return sum(type(held) is function_type for held in gc.get_objects())


@pytest.mark.parametrize(
    "field", [field for field in function_object_fields() if field not in UNVISITED_FIELDS]
)
def test_cycles_through_every_field_are_collected(field, tmp_path):
    """The collector frees a cycle through any field: traverse visits it and clear breaks it
    (the count of function objects comes back, which a weak reference would not show for an
    object that clear failed to free)."""
    assert field in COLLECTOR_CASES, f"no case closes a cycle through the function object's {field}"
    for number, case in enumerate(COLLECTOR_CASES[field]):
        directory = tmp_path / str(number)
        directory.mkdir()
        gc.collect()
        before = functions_alive()
        case(directory)
        gc.collect()
        assert functions_alive() == before
