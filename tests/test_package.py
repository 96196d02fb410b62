"""The package halvarine.corvantis around the module: the qualified name importable in any
order, the module standing alone without the package's files. tools/wheel-check runs
these tests against the installed wheel too, so they find everything through `asi`."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import asi

MODULE_FOLDER = Path(asi.__file__).parent


def run_python(code, cwd=None, options=(), pythonpath=None):
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("imports", [
    "import asi; import halvarine.corvantis.asi as qualified",
    "import halvarine.corvantis.asi as qualified; import asi",
    "import asi; from halvarine.corvantis import asi as qualified",
    "import asi; import halvarine.corvantis.asi; qualified = halvarine.corvantis.asi",
    "import halvarine.corvantis.asi; import asi; qualified = halvarine.corvantis.asi",
])
def test_qualified_name_imports_in_either_order(imports):
    done = run_python(imports + """
import os, sys
import halvarine.corvantis
assert qualified is asi is sys.modules["halvarine.corvantis.asi"]
assert halvarine.corvantis.asi is asi
# Module and package come from the same place: the build, or the installed copy.
package = os.path.dirname(halvarine.corvantis.__file__)
assert package == os.path.join(os.path.dirname(asi.__file__), "halvarine", "corvantis"), package
""")
    assert done.returncode == 0, done.stderr


def test_the_package_imports_nothing():
    done = run_python("""
        import sys
        import halvarine.corvantis
        assert "asi" not in sys.modules and "halvarine.corvantis.asi" not in sys.modules
    """)
    assert done.returncode == 0, done.stderr


@pytest.fixture
def module_alone(tmp_path):
    """A folder with the module and its SDK library but none of the package's files."""
    for path in MODULE_FOLDER.iterdir():
        if path.name.startswith(("asi.", "libASICamera2")) and path.suffix != ".pyi":
            shutil.copy(path, tmp_path / path.name)
    return tmp_path


def test_module_stands_alone_without_the_package(module_alone):
    # -S: no site-packages, where an installed copy of the package could be found.
    done = run_python("""
        import sys
        import asi
        assert sys.modules["halvarine.corvantis.asi"] is asi
        assert "halvarine.corvantis" not in sys.modules
        asi.get_number_of_connected_cameras()
    """, cwd=module_alone, options=["-S"], pythonpath=str(module_alone))
    assert done.returncode == 0, done.stderr


def test_a_package_failing_to_import_fails_the_import_and_leaves_nothing(module_alone):
    package = module_alone / "halvarine" / "corvantis"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("raise RuntimeError('broken package')\n")
    done = run_python("""
        import sys
        try:
            import asi
        except RuntimeError as error:
            assert str(error) == "broken package"
        else:
            raise AssertionError("the import succeeded")
        assert "asi" not in sys.modules and "halvarine.corvantis.asi" not in sys.modules
    """, cwd=module_alone, options=["-S"], pythonpath=str(module_alone))
    assert done.returncode == 0, done.stderr
