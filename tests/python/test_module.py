import inspect
import sys

import pytest

import corvane
from support import run_python

CLASSES = [corvane.Task, corvane.AntColonyAssignmentSolver, corvane.ProbabilisticAssignmentSolver]


def test_module_attributes():
    assert corvane.__doc__ == ""
    assert corvane.__all__ == ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]
    for cls in CLASSES:
        assert getattr(corvane, cls.__name__) is cls
    assert not hasattr(corvane, "PanicException")


def test_class_names_and_signatures():
    expected = {
        "Task": "(m, n, c, b_ij, b_total, omega)",
        "AntColonyAssignmentSolver": "(num_ants=20, kmax=100, alpha=1.0, beta=2.0, rho=0.1, initial_pheromone=1.0)",
        "ProbabilisticAssignmentSolver": "(kmax=100)",
    }
    for cls in CLASSES:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert cls.__text_signature__ == expected[cls.__name__]
        assert str(inspect.signature(cls)) == expected[cls.__name__]
        assert not cls.__doc__
    params = inspect.signature(corvane.AntColonyAssignmentSolver).parameters
    assert [p.default for p in params.values()] == [20, 100, 1.0, 2.0, 0.1, 1.0]
    assert corvane.Task.validate.__text_signature__ == "($self)"
    assert corvane.Task.validate.__doc__ is None
    for cls in CLASSES[1:]:
        assert cls.solve.__text_signature__ == "($self, task)"
        assert cls.solve.__doc__ is None


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_final_and_closed(cls, small_task):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    instance = small_task if cls is corvane.Task else cls()
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(AttributeError):
        instance.__dict__
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(instance)


def test_task_fields_are_not_readable(small_task):
    for name in ["m", "n", "c", "b_ij", "b_total", "omega"]:
        with pytest.raises(AttributeError):
            getattr(small_task, name)
    for name in ["num_ants", "kmax", "alpha"]:
        with pytest.raises(AttributeError):
            getattr(corvane.AntColonyAssignmentSolver(), name)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("corvane")
    try:
        import corvane as again

        assert again is first
        assert again.Task is first.Task
        assert again.__all__ == ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]
    finally:
        sys.modules["corvane"] = first


def test_import_does_not_touch_numpy():
    result = run_python(
        "import sys, corvane\n"
        "assert 'numpy' not in sys.modules\n"
        "corvane.ProbabilisticAssignmentSolver(3)\n"
        "assert 'numpy' not in sys.modules\n"
        "try:\n"
        "    corvane.Task(1, 1, [[1]], [[1]], 1, [[0.0]])\n"
        "except TypeError:\n"
        "    pass\n"
        "assert 'numpy' in sys.modules\n"
    )
    assert result.returncode == 0, result.stderr


def test_missing_numpy_is_a_panic():
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import corvane\n"
        "try:\n"
        "    corvane.Task(1, 1, [[1]], [[1]], 1, [[0.0]])\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PanicException Failed to access NumPy array API capsule")


def test_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_testcapi")
    if not hasattr(interpreters, "run_in_subinterp"):
        pytest.skip("no sub-interpreter support in this build")
    result = run_python(
        "import corvane, _testcapi\n"
        "code = '''\n"
        "try:\n"
        "    import corvane\n"
        "except ImportError as e:\n"
        "    open('/dev/stdout', 'w').write('refused: ' + str(e))\n"
        "'''\n"
        "_testcapi.run_in_subinterp(code)\n"
    )
    assert "refused:" in result.stdout, result.stdout + result.stderr
    assert "sub-interpreters" in result.stdout
