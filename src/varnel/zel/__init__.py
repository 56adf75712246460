"""varnel.zel: PyTorch-style tensors whose elements are 8-limb float64 expansions.

Use it in place of PyTorch::

    from varnel.zel import zel as torch
"""

# The extension modules link against torch's shared libraries, which torch
# loads from its own folder: import it first, or the dynamic loader may pick
# another torch's libraries from the system path.
import torch as _torch  # noqa: F401
