"""torch.nn.parallel for varnel.zel: DistributedDataParallel.

Gradients are averaged with zel.distributed's reduction: every rank's
gradient rows are gathered and summed in rank order by the library's
arithmetic, then divided by the group size, so every rank ends a backward
pass with the same gradient bytes and the optimizer keeps the replicas
identical.
"""
import contextlib
import zlib

from . import module as _module
from .. import distributed as _d


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here

_UNUSED = ("Expected to have finished reduction in the prior iteration before starting a new one. This error "
           "indicates that your module has parameters that were not used in producing loss. You can enable unused "
           "parameter detection by passing the keyword argument `find_unused_parameters=True` to "
           "`torch.nn.parallel.DistributedDataParallel`, and by making sure all `forward` function outputs "
           "participate in calculating loss.")


def _signature(tensors):
    """A digest of the tensors' shapes, the same on every rank that holds the same model."""
    return (len(tensors), sum(_d._numel(t.shape) for t in tensors),
            zlib.crc32(repr([tuple(t.shape) for t in tensors]).encode()))


def _output_tensors(obj, found):
    if isinstance(obj, _zel.Tensor):
        found.append(obj)
    elif isinstance(obj, (list, tuple)):
        for x in obj:
            _output_tensors(x, found)
    elif isinstance(obj, dict):
        for x in obj.values():
            _output_tensors(x, found)
    return found


def _reached(outputs):
    """The ids of the graph nodes the outputs' gradients can reach."""
    seen = set()
    stack = [t.grad_fn for t in outputs if t.requires_grad and t.grad_fn is not None]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        stack.extend(n for n, _ in node.next_functions if n is not None)
    return seen


class DistributedDataParallel(_module.Module):
    """Data-parallel training over zel.distributed's process group: each
    rank runs the module on its own batch, and backward leaves every
    rank's parameters with the gradient averaged across the ranks, the
    same bytes everywhere (the rows summed in rank order by the library's
    arithmetic, divided by the group size).

    Construction copies rank 0's parameters and buffers to every rank.
    forward() first copies rank 0's buffers when broadcast_buffers is True.
    Gradients are averaged once the last parameter's gradient has been
    accumulated; inside no_sync() they accumulate locally and the next
    synchronised backward averages the accumulated gradients.
    find_unused_parameters=True follows the graph of forward's outputs so
    parameters it does not reach still take part (with zero gradients) and
    keep a gradient of None where no rank used them."""

    def __init__(self, module, device_ids=None, output_device=None, dim=0, broadcast_buffers=True,
                 process_group=None, bucket_cap_mb=25, find_unused_parameters=False, check_reduction=False,
                 gradient_as_bucket_view=False, static_graph=False):
        super().__init__()
        if not isinstance(module, _module.Module):
            raise TypeError("DistributedDataParallel(): module must be a varnel.zel nn.Module, not %s"
                            % type(module).__name__)
        for name, flag in (("broadcast_buffers", broadcast_buffers),
                           ("find_unused_parameters", find_unused_parameters), ("static_graph", static_graph),
                           ("gradient_as_bucket_view", gradient_as_bucket_view)):
            if not isinstance(flag, bool):
                raise TypeError("DistributedDataParallel(): %s must be bool, not %s" % (name, type(flag).__name__))
        params = [p for p in module.parameters() if p.requires_grad]
        if not params:
            raise RuntimeError("DistributedDataParallel is not needed when a module doesn't have any parameter "
                               "that requires a gradient.")
        devices = {str(p.device) for p in module.parameters()}
        if device_ids is not None or output_device is not None:
            if devices == {"cpu"} or len(devices) != 1 or (device_ids is not None and len(list(device_ids)) != 1):
                raise ValueError("DistributedDataParallel device_ids and output_device arguments only work with "
                                 "single-device/multiple-device GPU modules or CPU modules, but got device_ids "
                                 "%s, output_device %s, and module parameters %s."
                                 % (device_ids, output_device, devices))
        group = _d._Group("DistributedDataParallel", process_group)
        if not group.member:
            raise RuntimeError("DistributedDataParallel(): this rank is not a member of process_group")
        self.module = module
        self.device_ids = None if device_ids is None else list(device_ids)
        self.output_device = output_device
        self.dim = dim
        self.broadcast_buffers = broadcast_buffers
        self.find_unused_parameters = find_unused_parameters
        self.static_graph = static_graph
        self.process_group = process_group
        self.require_backward_grad_sync = True
        self.require_forward_param_sync = True
        # bookkeeping lives outside the Module's attribute routing (Tensors, hooks, sets)
        state = self.__dict__
        state["_params"] = params
        state["_group"] = group
        state["_root"] = group.global_rank(0)
        from ..autograd import graph
        # The accumulators are held so the hooks on them outlive each graph.
        state["_accumulators"] = [graph.accumulator(p._grad_meta) for p in params]
        state["_ready"] = set()
        state["_expected"] = set()
        state["_sync"] = False
        state["_hooks"] = [acc.register_hook(self._ready_hook(k)) for k, acc in enumerate(self._accumulators)]
        self._sync_module_states()

    def _sync_module_states(self):
        tensors = list(self.module.parameters()) + list(self.module.buffers())
        if not tensors:
            return
        try:
            _d._broadcast_coalesced(tensors, self._root, self.process_group, _signature(tensors))
        except ValueError:
            raise RuntimeError("DDP expects same model across all ranks, but the parameters and buffers differ in "
                               "number or shape across the ranks.") from None

    def _ready_hook(self, k):
        def hook(grad_inputs, grad_outputs):
            if not self._sync:
                return None
            self._ready.add(k)
            if self._expected <= self._ready:
                self._reduce()
            return None
        return hook

    def _reduce(self):
        """Averages the gradients across the ranks, in place, in one exchange."""
        state = self.__dict__
        state["_sync"] = False
        used = [1.0 if k in self._expected else 0.0 for k in range(len(self._params))]
        grads = [p.grad if p.grad is not None else _zel.zeros(p.shape, device=p.device) for p in self._params]
        flags = _zel.tensor(used, device=self._params[0].device)
        with _zel.no_grad():
            _d._all_reduce_coalesced(grads + [flags], _d.ReduceOp.SUM, self.process_group)
            size = self._group.size
            anywhere = flags.tolist()
            for p, g, n in zip(self._params, grads, anywhere):
                if n == 0 and p.grad is None:
                    continue  # unused on every rank: no gradient, as PyTorch leaves it
                g = g / size
                if p.grad is None:
                    p.grad = g
                else:
                    p.grad.copy_(g)
        self._ready.clear()

    def forward(self, *inputs, **kwargs):
        """Runs the module (after copying rank 0's buffers when broadcast_buffers) and
        arranges for this backward's gradients to be averaged across the ranks."""
        if self._sync and self._ready and not self._expected <= self._ready:
            raise RuntimeError(_UNUSED)
        state = self.__dict__
        state["_sync"] = False
        self._ready.clear()
        if self.broadcast_buffers and self.require_forward_param_sync:
            buffers = list(self.module.buffers())
            if buffers:
                _d._broadcast_coalesced(buffers, self._root, self.process_group, _signature(buffers))
        output = self.module(*inputs, **kwargs)
        if _zel.is_grad_enabled() and self.require_backward_grad_sync:
            if self.find_unused_parameters:
                reached = _reached(_output_tensors(output, []))
                state["_expected"] = {k for k, acc in enumerate(self._accumulators) if id(acc) in reached}
            else:
                state["_expected"] = set(range(len(self._params)))
            state["_sync"] = bool(self._expected)
        return output

    @contextlib.contextmanager
    def no_sync(self):
        """Inside, backward accumulates gradients locally without averaging them;
        the first synchronised backward after it averages the accumulated gradients."""
        old = self.require_backward_grad_sync
        self.require_backward_grad_sync = False
        try:
            yield
        finally:
            self.require_backward_grad_sync = old

    def __del__(self):
        for h in self.__dict__.get("_hooks", ()):
            h.remove()


def install(zel, nn):
    """Binds the library and fills nn.parallel; returns the module object."""
    global _zel
    _zel = zel
    DistributedDataParallel.__module__ = nn.parallel.__name__
    nn.parallel.DistributedDataParallel = DistributedDataParallel
    nn.parallel.__all__ = ["DistributedDataParallel"]
    return nn.parallel
