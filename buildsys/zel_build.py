"""PEP 517 backend: setuptools, built against the PyTorch already installed.

A C++ extension of PyTorch must be compiled against the very torch it will
load into. With plain build isolation pip would download a second torch
(several GB, possibly another version) into a throw-away environment. This
backend asks the target interpreter, outside the isolation, where its torch
is; if there is one, torch is not a build requirement and that installation
is put at the end of the build's sys.path. Without an installed torch, torch
is required as usual.
"""
import os
import subprocess
import sys

from setuptools import build_meta as _setuptools

_PROBE = "import os, torch; print(os.path.dirname(os.path.dirname(torch.__file__)))"


def _installed_torch_root():
    # -I: ignore PYTHONPATH and user site, which pip's isolation rewrites.
    try:
        out = subprocess.run([sys.executable, "-I", "-c", _PROBE], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    root = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else ""
    return root if os.path.isdir(os.path.join(root, "torch")) else None


def _use_installed_torch():
    root = _installed_torch_root()
    if root is None:
        return False
    try:
        import torch  # noqa: F401  (already importable: nothing to add)
    except ImportError:
        sys.path.append(root)
    return True


def _requires(hook, config_settings):
    # setuptools learns its requirements by running setup.py, which needs torch.
    if _use_installed_torch():
        return hook(config_settings)
    return ["wheel", "torch"]


def get_requires_for_build_wheel(config_settings=None):
    return _requires(_setuptools.get_requires_for_build_wheel, config_settings)


def get_requires_for_build_editable(config_settings=None):
    return _requires(_setuptools.get_requires_for_build_editable, config_settings)


def get_requires_for_build_sdist(config_settings=None):
    return _requires(_setuptools.get_requires_for_build_sdist, config_settings)


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    _use_installed_torch()
    return _setuptools.prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _use_installed_torch()
    return _setuptools.build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    _use_installed_torch()
    return _setuptools.build_editable(wheel_directory, config_settings, metadata_directory)


def build_sdist(sdist_directory, config_settings=None):
    _use_installed_torch()
    return _setuptools.build_sdist(sdist_directory, config_settings)
