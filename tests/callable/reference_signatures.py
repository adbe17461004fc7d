"""Plain Python functions with the signatures the modules promise.

The parameters (names, kinds, defaults) are those of the type stubs, read from the installed
package; the annotations are the texts the modules must store, which the stubs spell for type
checkers instead. The tests compare names, kinds, defaults, annotations and the interpreter's own
argument errors against these functions, and derive the exact-type rules from the texts.
"""

import ast
from pathlib import Path

import quillkit

# The stored annotation texts, by function (methods as "Class.method"); "return" for the result.
ANNOTATIONS = {
    # quillkit.chronicle
    "setup_logging": {"project_name": "str", "debug": "bool", "level": "Optional[int]", "console": "bool",
                      "file": "Optional[str]", "fmt_info": "str", "fmt_debug": "str", "fmt_file": "str",
                      "datefmt": "str", "propagate": "bool", "return": "Logger"},
    "base_name": {"return": "str"},
    "get_logger": {"child": "str", "return": "Logger"},
    "lazy_logger": {"child": "str", "return": "_LazyLogger"},
    "_LazyLogger.__init__": {"child": "str"},
    "_LazyLogger._l": {"return": "logging.Logger"},
    "_LazyLogger._emit": {"level": "int"},
    "LevelSwitchingFormatter.__init__": {"fmt_by_level": "Dict[int, logging.Formatter]",
                                         "default_fmt": "logging.Formatter"},
    "LevelSwitchingFormatter.format": {"record": "logging.LogRecord", "return": "str"},
    # quillkit.cargohold
    "download_github_content": {"url": "str", "return": "str"},
    "load_local_file_content": {"label": "str", "return": "str"},
    "save_local_file_content": {"content": "str", "label": "str", "return": "tuple[bool, str]"},
    "load_or_download_content": {"url": "str", "label": "str", "return": "str"},
    "get_user_input_via_editor": {"marker": "str", "label": "str", "return": "str"},
    "get_package_name_version": {"return": "tuple"},
    "get_package_version": {"package_name": "str", "return": "str"},
    "interactive_select_files": {"files": "list", "names": "list", "extension": "str",
                                 "exclude_names": "list", "return": "list"},
    "scan_and_select_files": {"return": "list"},
    "download_and_save_from_registry": {"registry": "list", "output_dir": "str", "title": "str",
                                        "label_prefix": "str", "auto_download": "bool"},
    "get_unique_path": {"directory": "str | Path", "base_name": "str", "extension": "str", "return": "Path"},
    "setup_output_dir": {"dir_path": "str"},
    "setup_output_file": {"out_dir": "str", "out_file": "str", "return": "Path"},
    "find_files_with_extensions": {},
    "save_yaml_template": {"template_content": "str", "output_file": "str", "return": "str"},
    "load_yaml_config": {"file_path": "str"},
    "get_path_type": {},
    "get_directory_list": {"root_path": "str | Path", "exclude_prefixes": "tuple", "exclude_names": "tuple",
                           "exclude_suffixes": "tuple", "return": "tuple[list[str], list[str]]"},
    "load_yaml_string": {"yaml_content": "str", "label": "str"},
    "replace_file_extension": {"fn": "str", "orgExt": "str", "newExt": "str", "return": "str"},
    "extract_filename_info": {"fileName": "str", "partNumber": "tuple", "sp": "str", "return": "tuple"},
    "match_filename": {"filename": "str", "prefix": "str", "suffix": "str", "ignore_case": "bool",
                       "return": "bool"},
    "force_move_file": {"src": "str | Path", "dest": "str | Path", "backup": "str | Path", "return": "None"},
    "remove_directory": {"path": "str | Path", "return": "None"},
    "remove_file": {"path": "str | Path", "return": "None"},
    "load_json_config": {"file_path": "str", "required_keys": "list[str]"},
    "extract_and_save_code": {"text": "str", "label": "str", "error_msg": "str", "fail_msg": "str",
                              "return": "tuple[bool, str]"},
    "select_option": {"prompt_text": "str", "option_array": "list[str]", "default": "str", "title": "str",
                      "allow_all": "bool", "return": "str"},
    "get_cli_name": {"setup_file_path": "str | Path", "default": "str", "return": "str"},
}

# Annotation texts whose parameters take exactly one built-in type (the int rule converts).
EXACT = {"str": "str", "Optional[str]": "str", "list": "list", "list[str]": "list", "tuple": "tuple",
         "Dict[int, logging.Formatter]": "dict"}

STUBS = Path(quillkit.__file__).resolve().parent


def _without_annotations(node):
    """The stub's function with its signature only: no annotations, no decorators, no body."""
    arguments = node.args
    for argument in arguments.posonlyargs + arguments.args + arguments.kwonlyargs:
        argument.annotation = None
    for argument in (arguments.vararg, arguments.kwarg):
        if argument:
            argument.annotation = None
    return ast.FunctionDef(name=node.name, args=arguments, body=[ast.Pass()], decorator_list=[],
                           returns=None, type_comment=None, type_params=[])


def _function(node, qualified_name):
    namespace = {}
    source = ast.unparse(ast.fix_missing_locations(_without_annotations(node)))
    exec(compile(source, f"<stub of {qualified_name}>", "exec"), namespace)
    function = namespace[node.name]
    function.__qualname__ = qualified_name
    function.__annotations__ = dict(ANNOTATIONS.get(qualified_name, {}))
    return function


def _read(module_name):
    """The module's functions, in stub order, and its classes as {name: {method: function}}."""
    tree = ast.parse((STUBS / f"{module_name}.pyi").read_text(encoding="utf-8"))
    functions, classes = [], {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions.append(_function(node, node.name))
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {member.name: _function(member, f"{node.name}.{member.name}")
                                  for member in node.body if isinstance(member, ast.FunctionDef)}
    return functions, classes


CHRONICLE_FUNCTIONS, CHRONICLE_METHODS = _read("chronicle")
CARGOHOLD_FUNCTIONS, _ = _read("cargohold")


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
