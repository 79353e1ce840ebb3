"""The memory's layers import downwards only: the contract knows nothing of
stores, a store never imports the memory, and the memory's core never imports
a door (the command line, JSON Lines, LangChain, the servers)."""

import ast
import pathlib

import orlo_memory

PACKAGE = pathlib.Path(orlo_memory.__file__).parent
# What each layer may import of orlo_memory, besides itself.
ALLOWED = {
    "errors": set(),
    "progress": set(),
    "contract": {"errors"},
    "embedders": {"errors", "contract"},
    "stores": {"errors", "progress", "contract"},
    "core": {"errors", "progress", "contract", "embedders", "stores"},
    "doors": {"errors", "progress", "contract", "embedders", "stores", "core"},
}


def _layer(module: str) -> str:
    return module.split(".")[0]


def _imports(path: pathlib.Path, module: str) -> set[str]:
    """The orlo_memory modules `path` imports, relative to the package."""
    package = module.split(".")[:-1] if path.name != "__init__.py" else module.split(".")
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = package[: len(package) - node.level + 1]
                target = ".".join([*base, node.module] if node.module else base)
                names = [target] if node.module else [f"{target}.{a.name}" for a in node.names]
            elif (node.module or "").startswith("orlo_memory."):
                names = [node.module.removeprefix("orlo_memory.")]
            else:
                continue
            found.update(name.strip(".") for name in names)
        elif isinstance(node, ast.Import):
            found.update(
                a.name.removeprefix("orlo_memory.")
                for a in node.names
                if a.name.startswith("orlo_memory.")
            )
    return found


def test_layers_import_downwards_only():
    wrong = []
    for path in sorted(PACKAGE.rglob("*.py")):
        module = ".".join(path.relative_to(PACKAGE).with_suffix("").parts)
        layer = _layer(module)
        if layer in ("__init__", "__main__"):
            continue
        assert layer in ALLOWED, f"{module}: a module outside the known layers"
        for target in _imports(path, module):
            if _layer(target) not in ALLOWED[layer] | {layer}:
                wrong.append(f"{module} imports {target}")
    assert not wrong, "\n".join(wrong)
