"""varnel.zel: PyTorch-style tensors whose elements are 8-limb float64 expansions.

Use it in place of PyTorch::

    from varnel.zel import zel as torch
"""
