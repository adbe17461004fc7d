"""Plain Python functions with the signatures the modules promise.

The parameters (names, kinds, defaults) are those of the type stubs, read from the installed
package; so are the annotation texts the modules must store, but where the stubs spell a type
otherwise for type checkers (STORED_OTHERWISE). The tests compare names, kinds, defaults,
annotations and the interpreter's own argument errors against these functions, and derive the
exact-type rules from the texts.
"""

import ast
from pathlib import Path

import quillkit

# The stored annotation texts are the stubs' own (ast.unparse of each annotation), except that
# `Any` and `object` stand for a parameter that stores none and `-> None` for a result that stores
# none. Where a stub spells a type otherwise for type checkers (an os.PathLike where the function
# stores "str | Path", Optional[...] for a None default, type arguments, `Any` for a flag any
# value sets), this holds what is stored instead, by function (methods as "Class.method";
# "return" for the result): the text, or None where nothing is stored.
STORED_OTHERWISE = {
    # quillkit.chronicle
    "_LazyLogger.isEnabledFor": {"return": None},
    "_LazyLogger.name": {"return": None},
    # quillkit.cargohold
    "load_local_file_content": {"file_path": None},
    "save_local_file_content": {"file_path": None},
    "load_or_download_content": {"file_path": None},
    "get_package_name_version": {"return": "tuple"},
    "interactive_select_files": {"files": "list", "names": "list", "exclude_names": "list", "return": "list"},
    "scan_and_select_files": {"directory": None, "extensions": None, "exclude_names": None, "return": "list"},
    "download_and_save_from_registry": {"registry": "list"},
    "get_unique_path": {"directory": "str | Path"},
    "find_files_with_extensions": {
        "in_path": None,
        "extensions": None,
        "exclude_paths": None,
        "prefix": None,
        "return": None,
    },
    "get_path_type": {"path": None, "return": None},
    "get_directory_list": {
        "root_path": "str | Path",
        "exclude_prefixes": "tuple",
        "exclude_names": "tuple",
        "exclude_suffixes": "tuple",
    },
    "extract_filename_info": {"partNumber": "tuple", "return": "tuple"},
    "match_filename": {"prefix": "str", "suffix": "str", "ignore_case": "bool"},
    "force_move_file": {"src": "str | Path", "dest": "str | Path", "backup": "str | Path", "return": "None"},
    "remove_directory": {"path": "str | Path", "return": "None"},
    "remove_file": {"path": "str | Path", "return": "None"},
    "load_json_config": {"required_keys": "list[str]"},
    "extract_and_save_code": {"file_path": None},
    "select_option": {"default": "str", "title": "str", "allow_all": "bool"},
    "get_cli_name": {"setup_file_path": "str | Path"},
}

# Annotation texts whose parameters take exactly one built-in type (the int rule converts).
EXACT = {
    "str": "str",
    "Optional[str]": "str",
    "list": "list",
    "list[str]": "list",
    "tuple": "tuple",
    "Dict[int, logging.Formatter]": "dict",
}

STUBS = Path(quillkit.__file__).resolve().parent


def _without_annotations(node):
    """The stub's function with its signature only: no annotations, no decorators, no body."""
    arguments = node.args
    for argument in arguments.posonlyargs + arguments.args + arguments.kwonlyargs:
        argument.annotation = None
    for argument in (arguments.vararg, arguments.kwarg):
        if argument:
            argument.annotation = None
    return ast.FunctionDef(
        name=node.name,
        args=arguments,
        body=[ast.Pass()],
        decorator_list=[],
        returns=None,
        type_comment=None,
        type_params=[],
    )


def _stored_annotations(node, qualified_name):
    """The annotation texts the function stores, from its stub (see STORED_OTHERWISE)."""
    arguments = node.args
    annotated = [
        (argument.arg, argument.annotation)
        for argument in arguments.posonlyargs
        + arguments.args
        + [arguments.vararg]
        + arguments.kwonlyargs
        + [arguments.kwarg]
        if argument and argument.annotation
    ]
    if node.returns:
        annotated.append(("return", node.returns))
    texts = {name: ast.unparse(annotation) for name, annotation in annotated}
    otherwise = STORED_OTHERWISE.get(qualified_name, {})
    assert set(otherwise) <= set(texts), f"{qualified_name}: no such annotation in the stub"
    texts = {
        name: text
        for name, text in texts.items()
        if text not in ("Any", "object") and (name, text) != ("return", "None")
    }
    texts.update(otherwise)
    return {name: text for name, text in texts.items() if text is not None}


def _function(node, qualified_name):
    annotations = _stored_annotations(node, qualified_name)  # before the stub's are taken away
    namespace = {}
    source = ast.unparse(ast.fix_missing_locations(_without_annotations(node)))
    exec(compile(source, f"<stub of {qualified_name}>", "exec"), namespace)
    function = namespace[node.name]
    function.__qualname__ = qualified_name
    function.__annotations__ = annotations
    return function


def _read(module_name):
    """The module's functions, in stub order, and its classes as {name: {method: function}}."""
    tree = ast.parse((STUBS / f"{module_name}.pyi").read_text(encoding="utf-8"))
    functions, classes = [], {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions.append(_function(node, node.name))
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {
                member.name: _function(member, f"{node.name}.{member.name}")
                for member in node.body
                if isinstance(member, ast.FunctionDef)
            }
    return functions, classes


CHRONICLE_FUNCTIONS, CHRONICLE_METHODS = _read("chronicle")
CARGOHOLD_FUNCTIONS, _ = _read("cargohold")
assert set(STORED_OTHERWISE) <= {f.__qualname__ for f in CHRONICLE_FUNCTIONS + CARGOHOLD_FUNCTIONS} | {
    f.__qualname__ for methods in CHRONICLE_METHODS.values() for f in methods.values()
}


def _exact_types(function):
    """Exact-type parameters: name -> (type name, whether None passes)."""
    import inspect

    rules = {}
    for name, parameter in inspect.signature(function).parameters.items():
        text = function.__annotations__.get(name)
        if text in EXACT:
            rules[name] = (EXACT[text], parameter.default is None or text.startswith("Optional["))
    return rules


EXACT_TYPES = {f.__name__: rules for f in CARGOHOLD_FUNCTIONS if (rules := _exact_types(f))}

# Each function also by its name: `reference_signatures.get_directory_list`.
globals().update({function.__name__: function for function in CHRONICLE_FUNCTIONS + CARGOHOLD_FUNCTIONS})
