"""Everything is declared in pyproject.toml. This only sends setuptools' scratch (its
build/ folder and the package's .egg-info) to a temporary folder: pip builds from the
source folder itself, which is the project's tree and stays as it was."""
import atexit
import shutil
import tempfile

from setuptools import setup

_scratch = tempfile.mkdtemp(prefix="ka-setup-")
atexit.register(shutil.rmtree, _scratch, True)
setup(options={"build": {"build_base": _scratch}, "egg_info": {"egg_base": _scratch}})
