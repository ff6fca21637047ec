"""Types from the stub for the API reference, and the check that the reference holds it all.

autodoc reads the built module, whose callables carry text signatures and no types; the
types are in the stub beside the module's source (src/ipc_probe/_quillmere_core.pyi),
which stubtest keeps equal to the module. This extension reads the stub with `ast` and
hands autodoc each parameter's and return value's type, and each read-only attribute's.

Then it checks three things against one another: the built module's public names (its
functions and classes, and each class's methods and attributes) against the stub's, so a
name dropped from both the stub and the page still shows; the stub against the reference,
where every public name, method and attribute must be documented with the stub's
parameters in order and its types; and every `:param NAME:` of the reference against the
parameters its signature shows. Anything missing, extra or different is a warning, and
`./dev docs` fails on any warning, so the reference cannot fall behind the module.
"""
import ast
import builtins
import dataclasses
import importlib
import inspect
import pathlib
import typing

from docutils import nodes
from sphinx import addnodes
from sphinx.util import logging

MODULE = "_quillmere_core"
STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "ipc_probe" / f"{MODULE}.pyi"
logger = logging.getLogger(__name__)


@dataclasses.dataclass(frozen=True)
class Entry:
    """One documented object as the stub has it."""
    kind: str                              # function, class, method or property
    # As a signature shows them ("us", "*args", "x=1"); None for a class that cannot be called.
    params: tuple[str, ...] | None = ()
    types: tuple[tuple[str, str], ...] = ()  # (parameter or "return", type as written)


def _qualified(annotation, typing_names, classes):
    """The stub's annotation with names spelled so that they link: typing's names under
    typing., the module's classes under the module."""
    class Qualify(ast.NodeTransformer):
        def visit_Name(self, node):
            if node.id in typing_names:
                return ast.parse(f"typing.{node.id}", mode="eval").body
            if node.id in classes:
                return ast.parse(f"{MODULE}.{node.id}", mode="eval").body
            return node
    return ast.unparse(Qualify().visit(annotation))


def _signature(function, typing_names, classes, *, drop_first):
    """(parameters as shown, (name, type) pairs, return type) of a stub function."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    shown, types = [], []

    def add(arg, text):
        shown.append(text)
        if arg.annotation is not None:
            types.append((arg.arg, _qualified(arg.annotation, typing_names, classes)))

    for index, (arg, default) in enumerate(zip(positional, defaults)):
        if drop_first and index == 0:
            continue
        add(arg, arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
        if args.posonlyargs and arg is args.posonlyargs[-1]:
            shown.append("/")
    if args.vararg:
        add(args.vararg, f"*{args.vararg.arg}")
    elif args.kwonlyargs:
        shown.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        add(arg, arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    if args.kwarg:
        add(args.kwarg, f"**{args.kwarg.arg}")
    returns = _qualified(function.returns, typing_names, classes) if function.returns else ""
    return shown, types, returns


def read_stub(path=STUB):
    """{qualified name: Entry} of every public object in the stub."""
    tree = ast.parse(path.read_text())
    typing_names = {alias.asname or alias.name for node in tree.body
                    if isinstance(node, ast.ImportFrom) and node.module == "typing"
                    for alias in node.names}
    classes = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    entries = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            shown, types, returns = _signature(node, typing_names, classes, drop_first=False)
            if returns and returns != "None":
                types.append(("return", returns))
            entries[node.name] = Entry("function", tuple(shown), tuple(types))
        elif isinstance(node, ast.ClassDef):
            entries[node.name] = Entry("class")
            for member in node.body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                shown, types, returns = _signature(member, typing_names, classes, drop_first=True)
                decorators = {ast.unparse(d) for d in member.decorator_list}
                if member.name == "__new__":
                    # The class's own signature; one whose __new__ returns Never cannot be
                    # called, and shows none.
                    entries[node.name] = (Entry("class", None) if returns == "typing.Never"
                                          else Entry("class", tuple(shown), tuple(types)))
                elif member.name.startswith("_"):
                    continue
                elif "property" in decorators:
                    entries[f"{node.name}.{member.name}"] = Entry("property", (), (("return", returns),))
                else:
                    if returns and returns != "None":
                        types.append(("return", returns))
                    entries[f"{node.name}.{member.name}"] = Entry("method", tuple(shown), tuple(types))
    return entries


def _annotate_properties(app):
    """Gives each class the stub's types of its read-only attributes, as annotations that
    autodoc reads (the attributes are getset descriptors, which carry no type)."""
    module = importlib.import_module(MODULE)
    namespace = {**vars(builtins), "typing": typing, MODULE: module}
    by_class = {}
    for name, entry in app.env.quillmere_stub.items():
        if entry.kind == "property":
            owner, attribute = name.split(".")
            by_class.setdefault(owner, {})[attribute] = eval(dict(entry.types)["return"], namespace)
    for owner, annotations in by_class.items():
        getattr(module, owner).__annotations__ = annotations


def _on_builder_inited(app):
    app.env.quillmere_stub = read_stub()
    app.env.quillmere_reference = {}
    _annotate_properties(app)


def _on_process_signature(app, what, name, obj, options, signature, return_annotation):
    """The stub's types for a function, method or class, where autodoc's description of
    the object looks for them; the parameters shown stay the module's own."""
    if not name.startswith(f"{MODULE}."):
        return None
    entry = app.env.quillmere_stub.get(name.removeprefix(f"{MODULE}."))
    if entry is None or entry.kind == "property":
        return None
    if entry.params is None:
        return "", ""  # a class that cannot be called shows no signature
    annotations = app.env.current_document.autodoc_annotations.setdefault(name, {})
    annotations.update(entry.types)
    return None


def _text(node):
    """A node's text as the page shows it: a cross-reference to a type holds its text twice,
    once for the resolved link and once for the fallback."""
    node = node.deepcopy()
    for condition in list(node.findall(addnodes.pending_xref_condition)):
        if condition["condition"] != "*":
            condition.parent.remove(condition)
    return node.astext()


def _on_object_description(app, domain, objtype, contentnode):
    """Notes what the reference shows of each object of the module: its kind, its
    parameters, and the types given in its description or, for an attribute, its header."""
    if domain != "py":
        return
    signature = contentnode.parent[0]
    if signature.get("module") != MODULE:
        return
    parameters = [p.astext() for p in signature.findall(addnodes.desc_parameter)]
    # Only the object's own fields: a class's content also holds its methods' descriptions.
    described = [field[0].astext().split()[-1]
                 for field_list in contentnode.children if isinstance(field_list, nodes.field_list)
                 for field in field_list.children
                 if field[0].astext().split()[0] in ("param", "parameter", "arg", "argument")]
    types = {}
    for annotation in signature.children:
        if isinstance(annotation, addnodes.desc_annotation) and _text(annotation).startswith(":"):
            types["return"] = _text(annotation).removeprefix(":").strip()
    for field in contentnode.findall(nodes.field):
        field_name = field[0].astext().split()
        if field_name[0] == "type" and len(field_name) == 2:
            types[field_name[1]] = field[1].astext().strip()
        elif field_name == ["rtype"]:
            types["return"] = field[1].astext().strip()
    app.env.quillmere_reference[signature["fullname"]] = (objtype, parameters, types, described)


def check_reference(stub, reference):
    """Every difference between the stub's objects and the reference's, as sentences."""
    kinds = {"function": "function", "class": "class", "method": "method", "property": "attribute"}
    problems = []
    for name, entry in stub.items():
        if name not in reference:
            problems.append(f"the API reference lacks {name}, a {entry.kind} of the stub")
            continue
        objtype, parameters, types, described = reference[name]
        # What a :param: may name: the parameters the signature shows, without their
        # stars and defaults.
        named = {p.lstrip("*").split("=")[0].split(":")[0].strip() for p in parameters} - {"/", ""}
        for parameter in described:
            if parameter not in named:
                problems.append(f"the API reference describes a parameter {parameter!r} of {name}, "
                                f"whose signature has {sorted(named) or 'none'}")
        if objtype != kinds[entry.kind]:
            problems.append(f"the API reference shows {name} as a {objtype}, the stub as a {entry.kind}")
        if entry.kind != "property" and parameters != list(entry.params or ()):
            problems.append(f"the API reference shows {name}({', '.join(parameters)}), "
                            f"the stub {name}({', '.join(entry.params or ())})")
        wanted = dict(entry.types)
        if types != wanted:
            problems.append(f"the API reference gives {name} the types {types}, the stub {wanted}")
    for name in reference.keys() - stub.keys():
        problems.append(f"the API reference documents {name}, which the stub does not have")
    return problems


def module_names(module):
    """{qualified name: kind} of every public object of the built module: its functions
    and classes, and each class's methods and attributes, as the stub would name them."""
    kinds = {}
    for name in dir(module):
        if name.startswith("_"):
            continue
        value = getattr(module, name)
        if not isinstance(value, type):
            kinds[name] = "function" if callable(value) else "constant"
            continue
        kinds[name] = "class"
        for member, attribute in vars(value).items():
            if not member.startswith("_"):
                kinds[f"{name}.{member}"] = ("property" if inspect.isdatadescriptor(attribute)
                                             else "method")
    return kinds


def check_module(stub, built):
    """Every difference between the built module's public objects and the stub's."""
    problems = []
    for name, kind in sorted(built.items()):
        if name not in stub:
            problems.append(f"the built module has {name}, a {kind} that the stub and so the "
                            "API reference lack")
        elif stub[name].kind != kind:
            problems.append(f"the built module's {name} is a {kind}, the stub's a {stub[name].kind}")
    for name in sorted(stub.keys() - built.keys()):
        problems.append(f"the stub has {name}, which the built module does not")
    return problems


def _on_check_consistency(app, env):
    built = module_names(importlib.import_module(MODULE))
    for problem in check_module(env.quillmere_stub, built):
        logger.warning(problem, type="quillmere", subtype="module")
    for problem in check_reference(env.quillmere_stub, env.quillmere_reference):
        logger.warning(problem, type="quillmere", subtype="reference")


def setup(app):
    app.connect("builder-inited", _on_builder_inited)
    app.connect("autodoc-process-signature", _on_process_signature)
    # After autodoc has added the types to the description.
    app.connect("object-description-transform", _on_object_description, priority=600)
    app.connect("env-check-consistency", _on_check_consistency)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
