import orlo_kiv


def test_module_exports_classes_then_doc_and_version():
    assert orlo_kiv.__all__ == [
        "KivIndex", "KivConfig", "SearchResult", "SessionSummary",
        "DocumentSummary", "KivStats", "__doc__", "__version__",
    ]
    assert orlo_kiv.__doc__ == "ORLO-KIV: Kiv for AI memory retrieval"
    assert orlo_kiv.__version__ == "0.1.0"
