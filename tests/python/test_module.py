import inspect

import pytest

import orlo_kiv

from conftest import run_python

CLASSES = ["KivIndex", "KivConfig", "SearchResult", "SessionSummary", "DocumentSummary", "KivStats"]


def test_module_exports_classes_then_doc_and_version():
    assert orlo_kiv.__all__ == [*CLASSES, "__doc__", "__version__"]
    assert orlo_kiv.__doc__ == "ORLO-KIV: Kiv for AI memory retrieval"
    assert orlo_kiv.__version__ == "0.1.0"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_builtins_heap_types(name):
    cls = getattr(orlo_kiv, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name


@pytest.mark.parametrize(
    "name, doc",
    [
        ("KivStats", "Index statistics"),
        ("SearchResult", "Python wrapper for search results"),
        ("SessionSummary", "Session summary for coarse-grained retrieval"),
        ("DocumentSummary", "Document summary for mid-level retrieval"),
        ("KivConfig", "Python wrapper for KIV index configuration"),
    ],
)
def test_class_docstrings(name, doc):
    assert getattr(orlo_kiv, name).__doc__ == doc


def test_kiv_index_docstring_and_config_signature():
    assert orlo_kiv.KivIndex.__doc__ == (
        "Kiv Index\n\nA semantic memory index optimized for conversation history retrieval.\n"
        "Uses hierarchical structure (session -> document -> chunk) to enable\n"
        "O(log n) queries while maintaining high recall."
    )
    assert orlo_kiv.KivConfig.__text_signature__ == "()"


@pytest.mark.parametrize(
    "name", ["KivIndex", "KivStats", "SearchResult", "SessionSummary", "DocumentSummary"]
)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as info:
        getattr(orlo_kiv, name)()
    assert str(info.value) == f"No constructor defined for {name}"
    assert info.value.args == (f"No constructor defined for {name}",)


METHODS = [
    ("cosine", "(dimensionality)", "Create a new KIV index with cosine similarity"),
    ("with_config", "(dimensionality, config)", "Create a new KIV index with custom configuration"),
    ("add", "($self, embedding)", "Add an embedding to the index"),
    ("add_with_id", "($self, id_hex, embedding)", "Add an embedding with a custom ID"),
    ("near", "($self, query, k)", "Find k nearest neighbors to a query embedding"),
    ("new_session", "($self)", "Start a new session (conversation boundary)"),
    ("new_document", "($self)", "Start a new document within the current session"),
    ("stats", "($self)", "Get index statistics"),
    ("is_empty", "($self)", "Check if the index is empty"),
    ("remove", "($self, id_hex)", "Remove a point by ID"),
    ("near_sessions", "($self, query, k)", "Find similar sessions (coarse-grained search)"),
    ("near_documents", "($self, session_id, query, k)", "Find similar documents within a session"),
    ("near_in_document", "($self, doc_id, query, k)", "Find chunks within a specific document"),
    ("consolidate", "($self)", "Run light consolidation (background maintenance)"),
    ("consolidate_full", "($self)", "Run full consolidation (more thorough optimization)"),
    ("save", "($self, path)", "Save the index to a file"),
    ("load", "(path)", "Load an index from a file"),
    ("to_bytes", "($self)", "Serialize the index to bytes"),
    ("from_bytes", "(data)", "Load an index from bytes"),
]


def test_method_table_is_complete_and_ordered():
    names = [name for name, value in vars(orlo_kiv.KivIndex).items() if not name.startswith("__")]
    assert names == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name, signature, first_line", METHODS)
def test_method_signatures_and_docstrings(name, signature, first_line):
    method = getattr(orlo_kiv.KivIndex, name)
    assert method.__text_signature__ == signature
    assert method.__doc__.split("\n")[0] == first_line
    inspect.signature(method)  # the signature text is well formed


@pytest.mark.parametrize(
    "name, text",
    [
        (
            "add",
            "Add an embedding to the index\n\nArgs:\n"
            "    embedding: List of floats (must match dimensionality)\n\n"
            "Returns:\n    str: The generated ID as a hex string",
        ),
        (
            "consolidate",
            "Run light consolidation (background maintenance)\n\n"
            "This optimizes the index structure. Call periodically\n"
            "(e.g., after every 100 inserts).",
        ),
    ],
)
def test_multi_line_docstrings_in_full(name, text):
    assert getattr(orlo_kiv.KivIndex, name).__doc__ == text


def test_static_methods_work_from_an_instance():
    first = orlo_kiv.KivIndex.cosine(4)
    second = first.cosine(4)
    assert isinstance(second, orlo_kiv.KivIndex) and second is not first
    first.add([1.0, 0.0, 0.0, 0.0])
    assert len(first) == 1 and len(second) == 0


def test_reimport_returns_the_same_module():
    result = run_python("""
        import sys, importlib
        import orlo_kiv
        first = orlo_kiv
        del sys.modules["orlo_kiv"]
        import orlo_kiv as again
        assert again is first, "module object was rebuilt"
        assert again.KivIndex is first.KivIndex
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_second_interpreter_is_refused():
    result = run_python("""
        import orlo_kiv
        import _testcapi
        status = _testcapi.run_in_subinterp("import orlo_kiv")
        print("status", status)
    """)
    assert result.returncode == 0, result.stderr
    assert "status -1" in result.stdout
    assert "ImportError: PyO3 modules do not yet support subinterpreters, see " in result.stderr


def test_classes_cannot_be_changed_subclassed_or_bypassed():
    # Run apart: before the classes were immutable these attempts succeeded and
    # an index without a record crashed the interpreter.
    result = run_python("""
        import copy, pickle
        import orlo_kiv
        from orlo_kiv import KivIndex

        index = KivIndex.cosine(2)
        index.add([1.0, 0.0])
        instances = {
            "KivIndex": index, "KivConfig": orlo_kiv.KivConfig(), "KivStats": index.stats(),
            "SearchResult": index.near([1.0, 0.0], 1)[0],
            "SessionSummary": index.near_sessions([1.0, 0.0], 1)[0],
        }
        session = instances["SessionSummary"].id
        instances["DocumentSummary"] = index.near_documents(session, [1.0, 0.0], 1)[0]

        class Plain:
            pass

        def refused(attempt):
            try:
                attempt()
            except TypeError:
                return True
            return False

        for name, obj in instances.items():
            cls = type(obj)
            attempts = {
                "set __new__": lambda: setattr(cls, "__new__",
                                               staticmethod(lambda c, *a: object.__new__(c))),
                "set attribute": lambda: setattr(cls, "extra", 1),
                "delete attribute": lambda: delattr(cls, "__repr__"),
                "object.__new__": lambda: object.__new__(cls),
                "subclass": lambda: type("Sub", (cls,), {}),
                "class of instance": lambda: setattr(obj, "__class__", Plain),
                "class of other": lambda: setattr(Plain(), "__class__", cls),
                "copy": lambda: copy.copy(obj),
                "deepcopy": lambda: copy.deepcopy(obj),
                "pickle": lambda: pickle.dumps(obj),
            }
            for what, attempt in attempts.items():
                assert refused(attempt), (name, what)
            if name != "KivConfig":
                try:
                    cls()
                except TypeError as error:
                    assert str(error) == f"No constructor defined for {name}", error
        assert index.near([1.0, 0.0], 1)[0].score == 1.0
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_instance_without_a_record_is_refused_not_used():
    # Native code can still allocate an instance without building its record;
    # every method then refuses it, and freeing it frees nothing it lacks.
    result = run_python("""
        import ctypes
        import orlo_kiv

        allocate = ctypes.pythonapi.PyType_GenericAlloc
        allocate.restype = ctypes.py_object
        allocate.argtypes = [ctypes.py_object, ctypes.c_ssize_t]

        def message(call):
            try:
                call()
            except TypeError as error:
                return str(error)
            return "no error"

        index = allocate(orlo_kiv.KivIndex, 0)
        calls = [
            lambda: index.add([]), lambda: index.add_with_id("0" * 32, []),
            lambda: index.near([], 1), lambda: index.near_sessions([], 1),
            lambda: index.new_session(), lambda: index.remove("0" * 32), lambda: len(index),
            lambda: repr(index), lambda: index.stats(), lambda: index.consolidate_full(),
            lambda: index.to_bytes(), lambda: index.save("/nonexistent/x"),
        ]
        for call in calls:
            assert message(call) == "'KivIndex' object is not initialised", message(call)
        config = allocate(orlo_kiv.KivConfig, 0)
        assert message(lambda: orlo_kiv.KivIndex.with_config(2, config)) == (
            "'KivConfig' object is not initialised")
        assert message(lambda: config.with_beam_width(2)) == "'KivConfig' object is not initialised"
        for name, field in [("KivStats", "chunk_count"), ("SearchResult", "score"),
                            ("SessionSummary", "id"), ("DocumentSummary", "chunk_count")]:
            obj = allocate(getattr(orlo_kiv, name), 0)
            assert message(lambda: getattr(obj, field)) == f"'{name}' object is not initialised"
            assert message(lambda: repr(obj)) == f"'{name}' object is not initialised"
        del index, config, obj
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
