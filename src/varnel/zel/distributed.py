"""torch.distributed for varnel.zel: collectives on the limb arrays.

Process groups are torch.distributed's (gloo on CPU, NCCL on CUDA); the
transfers move each tensor's limb rows. A reduction gathers every rank's
rows and combines them in the library's arithmetic in group-rank order
0, 1, 2, ..., so every rank computes the same operations on the same bytes
and holds the same result: a SUM across ranks is the library's sum, not a
float64 one. Before any transfer the ranks exchange a small header (shape,
operation, root, whether the local arguments were valid), so a mismatch
raises on every rank instead of hanging one or garbling another.
"""
import collections
import enum
import types

import torch as _torch


class _Library:
    """Stands for varnel.zel.zel until install() runs: imported directly, this
    module gets it on first use."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here

_LIMBS = 8
_MAX_DIMS = 64
# status, operation code, root, ndim, the dimensions
_HEADER = 4 + _MAX_DIMS
_MAX_TAG = 2 ** 29


def _dist():
    import torch.distributed as dist
    if not dist.is_available():
        raise RuntimeError("torch.distributed is not available in this PyTorch build")
    return dist


def is_available():
    """Whether torch.distributed (which this module runs on) is available."""
    return _torch.distributed.is_available()


def is_initialized():
    """Whether the default process group has been initialized."""
    return is_available() and _torch.distributed.is_initialized()


def init_process_group(backend=None, init_method=None, timeout=None, world_size=-1, rank=-1, store=None,
                       group_name="", pg_options=None):
    """torch.distributed.init_process_group: the process group that the
    collectives of this module run on (gloo for CPU tensors, nccl for CUDA)."""
    dist = _dist()
    kwargs = {"init_method": init_method, "world_size": world_size, "rank": rank, "store": store,
              "group_name": group_name}
    if timeout is not None:
        kwargs["timeout"] = timeout
    if pg_options is not None:
        kwargs["pg_options"] = pg_options
    if backend is None and int(_torch.__version__.split(".")[0]) < 2:
        backend = "gloo"  # PyTorch 1.x requires one; 2.x picks gloo and nccl itself
    return dist.init_process_group(backend, **kwargs)


def destroy_process_group(group=None):
    """torch.distributed.destroy_process_group: tears down group (the default, and every group, when None)."""
    return _check_group("destroy_process_group", group).destroy_process_group(group)


def new_group(ranks=None, timeout=None, backend=None, pg_options=None):
    """torch.distributed.new_group: a process group of some of the ranks, for group= arguments."""
    kwargs = {"ranks": ranks, "backend": backend, "pg_options": pg_options}
    if timeout is not None:
        kwargs["timeout"] = timeout
    return _dist().new_group(**kwargs)


def _check_group(fn, group):
    dist = _dist()
    if group is not None and not isinstance(group, dist.ProcessGroup) \
            and group is not getattr(dist.GroupMember, "NON_GROUP_MEMBER", None):
        raise TypeError("%s(): group must be a ProcessGroup or None, not %s" % (fn, type(group).__name__))
    return dist


def get_rank(group=None):
    """This process's rank in group (the default group when None); -1 outside the group."""
    return _check_group("get_rank", group).get_rank(group)


def get_world_size(group=None):
    """The number of processes in group (the default group when None); -1 outside the group."""
    return _check_group("get_world_size", group).get_world_size(group)


def get_backend(group=None):
    """The backend of group (the default group when None), as torch.distributed names it."""
    return _check_group("get_backend", group).get_backend(group)


def barrier(group=None, async_op=False, device_ids=None):
    """torch.distributed.barrier: waits until every rank of group reaches it."""
    dist = _check_group("barrier", group)
    _check_async("barrier", async_op)
    if device_ids is not None:
        return dist.barrier(group, async_op=async_op, device_ids=device_ids)
    return dist.barrier(group, async_op=async_op)


class ReduceOp(enum.Enum):
    """How a reduction combines the ranks' elements, in group-rank order:
    SUM (the library's addition), AVG (that sum divided by the group size),
    PRODUCT, MAX and MIN. torch.distributed.ReduceOp's members of those
    names are accepted wherever one of these is."""

    SUM = 0
    AVG = 1
    PRODUCT = 2
    MAX = 3
    MIN = 4

    def __repr__(self):
        return "ReduceOp." + self.name

    __str__ = __repr__


def _reduce_op(fn, op):
    if isinstance(op, ReduceOp):
        return op
    if is_available():
        torch_ops = _torch.distributed.ReduceOp
        for name in ("SUM", "AVG", "PRODUCT", "MAX", "MIN", "BAND", "BOR", "BXOR", "PREMUL_SUM"):
            member = getattr(torch_ops, name, None)
            if member is None:
                continue
            try:
                same = op is member or (type(op) is type(member) and op == member)
                if not same and hasattr(torch_ops, "RedOpType"):
                    same = op == getattr(torch_ops.RedOpType, name, object())
            except TypeError:
                same = False
            if same:
                if name in ReduceOp.__members__:
                    return ReduceOp[name]
                raise ValueError("%s(): ReduceOp.%s is not supported for tensors of this library (their "
                                 "elements are not integers); use SUM, AVG, PRODUCT, MAX or MIN" % (fn, name))
    raise TypeError("%s(): op must be a ReduceOp, not %s" % (fn, type(op).__name__))


# Each collective's code, so ranks calling different ones (or one with another
# operation) are told so rather than exchanging garbage.
_CODES = {name: k for k, name in enumerate(
    ("all_reduce", "reduce", "broadcast", "all_gather", "all_gather_into_tensor", "reduce_scatter",
     "reduce_scatter_tensor", "gather", "scatter", "send", "_all_reduce_coalesced", "_broadcast_coalesced"), 1)}


def _check_tensor(fn, name, t):
    if not isinstance(t, _zel.Tensor):
        raise TypeError("%s(): argument '%s' must be a Tensor of varnel.zel, not %s" % (fn, name, type(t).__name__))
    t.contiguous()  # raises for a malformed limb array
    if len(t.shape) > _MAX_DIMS:
        raise ValueError("%s(): '%s' has %d dimensions; at most %d are supported" % (fn, name, len(t.shape),
                                                                                    _MAX_DIMS))
    if any(d >= 2 ** 62 for d in t.shape):
        raise ValueError("%s(): '%s' has a dimension too large to transfer: %s" % (fn, name, tuple(t.shape)))


def _check_list(fn, name, items, size, shape):
    if not isinstance(items, (list, tuple)):
        raise TypeError("%s(): argument '%s' must be a list of Tensors, not %s" % (fn, name, type(items).__name__))
    if len(items) != size:
        raise ValueError("%s(): '%s' must hold one tensor per rank of the group (%d), got %d"
                         % (fn, name, size, len(items)))
    for k, t in enumerate(items):
        _check_tensor(fn, "%s[%d]" % (name, k), t)
        if shape is not None and tuple(t.shape) != tuple(shape):
            raise ValueError("%s(): %s[%d] has shape %s; expected %s" % (fn, name, k, tuple(t.shape), tuple(shape)))


class _Group:
    """The group of a call: torch's handle, its size and this process's rank in it."""

    def __init__(self, fn, group):
        dist = _check_group(fn, group)
        if not dist.is_initialized():
            # PyTorch's own error (its type and wording follow the installed version).
            dist.get_world_size()
            raise RuntimeError("Default process group has not been initialized, please make sure to call "
                               "init_process_group.")
        self.handle = group
        self.rank = dist.get_rank(group)
        self.member = self.rank >= 0
        self.size = dist.get_world_size(group) if self.member else -1
        self.fn = fn

    def global_rank(self, r):
        dist = _dist()
        if self.handle is None or self.handle is dist.GroupMember.WORLD:
            return r
        return dist.get_global_rank(self.handle, r)

    def group_rank(self, name, r):
        """The group rank of global rank r (a src= or dst= argument)."""
        dist = _dist()
        if isinstance(r, bool) or not isinstance(r, int):
            raise TypeError("%s(): argument '%s' must be int, not %s" % (self.fn, name, type(r).__name__))
        if self.handle is None or self.handle is dist.GroupMember.WORLD:
            if not 0 <= r < self.size:
                raise ValueError("%s(): %s=%d is not a rank of the group (world size %d)" % (self.fn, name, r,
                                                                                           self.size))
            return r
        try:
            return dist.get_group_rank(self.handle, r)
        except (RuntimeError, ValueError):
            raise ValueError("%s(): %s=%d is not a rank of the group" % (self.fn, name, r)) from None

    def device(self, t=None):
        if isinstance(t, _zel.Tensor):
            try:
                device = t._data.device
                if device.type in ("cpu", "cuda"):
                    return device
            except Exception:  # a malformed tensor: its own check reports it
                pass
        backend = str(_dist().get_backend(self.handle)).lower()
        if backend == "nccl" and _torch.cuda.is_available():
            return _torch.device("cuda", _torch.cuda.current_device())
        return _torch.device("cpu")


def _header(status, code, root, shape):
    h = [status, code, root, len(shape)] + list(shape) + [0] * (_MAX_DIMS - len(shape))
    return h


def _agree(g, device, code, root, tensor, error):
    """Exchanges every rank's header (tensor's shape, or a tuple standing for
    one); raises on every rank when any rank's arguments were invalid or the
    shapes, operations or roots differ. Returns the common shape."""
    dist = _dist()
    if error is not None:
        shape = ()
    else:
        shape = tuple(tensor) if isinstance(tensor, tuple) else tuple(tensor.shape)
    mine = _torch.tensor(_header(0 if error is None else 1, code, root, shape), dtype=_torch.int64, device=device)
    rows = [_torch.empty_like(mine) for _ in range(g.size)]
    dist.all_gather(rows, mine, group=g.handle)
    if error is not None:
        raise error
    headers = [r.tolist() for r in rows]
    for r, h in enumerate(headers):
        if h[0] != 0:
            raise RuntimeError("%s(): rank %d of the group was called with invalid arguments (it raised)" % (g.fn, r))
    for r, h in enumerate(headers):
        if h[1] != code:
            raise RuntimeError("%s(): rank %d of the group called a different collective or operation" % (g.fn, r))
        if h[2] != root:
            raise RuntimeError("%s(): rank %d of the group named root rank %d, this rank %d" % (g.fn, r, h[2], root))
        theirs = tuple(h[4:4 + h[3]])
        if theirs != shape:
            raise ValueError("%s(): tensor shapes differ across ranks: rank %d has %s, rank %d has %s"
                             % (g.fn, g.rank, shape, r, theirs))
    return shape


def _rows(t):
    """The limb rows of a tensor, one per element, contiguous."""
    return t.contiguous()._data.reshape(-1, _LIMBS).contiguous()


def _tensor(rows, shape):
    return _zel.Tensor(_raw=rows.reshape(-1, _LIMBS), _shape=tuple(shape))


def _store(t, value):
    """Replaces t's elements in place (outside autograd, as PyTorch's collectives do)."""
    with _zel.no_grad():
        t.copy_(value)


def _combine(op, parts, size):
    """The ranks' tensors reduced in group-rank order by the library's arithmetic."""
    with _zel.no_grad():
        acc = parts[0].clone()
        for x in parts[1:]:
            if op in (ReduceOp.SUM, ReduceOp.AVG):
                acc = acc + x
            elif op is ReduceOp.PRODUCT:
                acc = acc * x
            elif op is ReduceOp.MAX:
                acc = _zel.maximum(acc, x)
            else:
                acc = _zel.minimum(acc, x)
        if op is ReduceOp.AVG and size > 1:
            acc = acc / size
    return acc


class _Work:
    """What an async_op=True call returns: wait() finishes the transfer,
    writing the result into the library's tensors."""

    def __init__(self, works, finish=None):
        self._works = list(works)
        self._finish = finish
        self._done = False

    def is_completed(self):
        """Whether wait() has finished the operation."""
        return self._done

    def is_success(self):
        """Whether the operation finished without an error."""
        return self._done

    def wait(self, timeout=None):
        """Waits for the transfer and writes the result; returns True."""
        if self._done:
            return True
        for w in self._works:
            if timeout is None:
                w.wait()
            else:
                w.wait(timeout)
        if self._finish is not None:
            self._finish()
        self._done = True
        return True


def _launch(async_op, start, finish):
    """Runs start() (which issues torch collectives with async_op and returns
    their works) and finish(); returns a work object when async_op."""
    works = start(bool(async_op))
    if async_op:
        return _Work([w for w in works if w is not None], finish)
    finish()
    return None


def _not_member(g):
    # PyTorch skips a collective on a rank outside its group.
    return not g.member


def _check_async(fn, async_op):
    if not isinstance(async_op, bool):
        raise TypeError("%s(): argument 'async_op' must be bool, not %s" % (fn, type(async_op).__name__))


def all_reduce(tensor, op=ReduceOp.SUM, group=None, async_op=False):
    """Reduces tensor across the ranks of group in place: every rank ends with
    the same bytes, the ranks' tensors combined in group-rank order by the
    library's arithmetic (SUM is exact limb addition; AVG is that sum divided
    by the group size)."""
    fn = "all_reduce"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error = None
    try:
        op = _reduce_op(fn, op)
        _check_tensor(fn, "tensor", tensor)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    code = _CODES[fn] * 16 + (op.value if error is None else 0)
    shape = _agree(g, g.device(tensor), code, 0, tensor, error)
    mine = _rows(tensor)
    rows = [_torch.empty_like(mine) for _ in range(g.size)]

    def start(a):
        if mine.numel() == 0:
            return []
        return [_dist().all_gather(rows, mine, group=g.handle, async_op=a)]

    def finish():
        _store(tensor, _combine(op, [_tensor(r, shape) for r in rows], g.size))
    return _launch(async_op, start, finish)


def reduce(tensor, dst, op=ReduceOp.SUM, group=None, async_op=False):
    """Reduces tensor across the ranks of group into rank dst's tensor (in
    place there; the others' tensors are unchanged), in group-rank order by
    the library's arithmetic."""
    fn = "reduce"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error, root = None, -1
    try:
        root = g.group_rank("dst", dst)
        op = _reduce_op(fn, op)
        _check_tensor(fn, "tensor", tensor)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    code = _CODES[fn] * 16 + (op.value if error is None else 0)
    shape = _agree(g, g.device(tensor), code, root, tensor, error)
    mine = _rows(tensor)
    rows = [_torch.empty_like(mine) for _ in range(g.size)] if g.rank == root else None

    def start(a):
        if mine.numel() == 0:
            return []
        return [_dist().gather(mine, rows, dst=dst, group=g.handle, async_op=a)]

    def finish():
        if g.rank == root:
            _store(tensor, _combine(op, [_tensor(r, shape) for r in rows], g.size))
    return _launch(async_op, start, finish)


def broadcast(tensor, src, group=None, async_op=False):
    """Copies rank src's tensor into every rank's tensor (all limbs, in place)."""
    fn = "broadcast"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error, root = None, -1
    try:
        root = g.group_rank("src", src)
        _check_tensor(fn, "tensor", tensor)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    shape = _agree(g, g.device(tensor), _CODES[fn] * 16, root, tensor, error)
    buf = _rows(tensor).clone()

    def start(a):
        if buf.numel() == 0:
            return []
        return [_dist().broadcast(buf, src, group=g.handle, async_op=a)]

    def finish():
        if g.rank != root:
            _store(tensor, _tensor(buf, shape))
    return _launch(async_op, start, finish)


def all_gather(tensor_list, tensor, group=None, async_op=False):
    """Fills tensor_list[r] (in place) with rank r's tensor on every rank of group."""
    fn = "all_gather"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error = None
    try:
        _check_tensor(fn, "tensor", tensor)
        _check_list(fn, "tensor_list", tensor_list, g.size, tensor.shape)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    shape = _agree(g, g.device(tensor), _CODES[fn] * 16, 0, tensor, error)
    mine = _rows(tensor)
    rows = [_torch.empty_like(mine) for _ in range(g.size)]

    def start(a):
        if mine.numel() == 0:
            return []
        return [_dist().all_gather(rows, mine, group=g.handle, async_op=a)]

    def finish():
        for out, r in zip(tensor_list, rows):
            _store(out, _tensor(r, shape))
    return _launch(async_op, start, finish)


def _stacked_shape(fn, name, big, small, size):
    """Checks that big holds size copies of small's shape, concatenated or stacked along dim 0."""
    s, b = tuple(small.shape), tuple(big.shape)
    concatenated = (s[0] * size,) + s[1:] if s else None
    if b not in ((size,) + s, concatenated):
        raise ValueError("%s(): '%s' has shape %s; expected %s (the group's %d tensors of shape %s concatenated "
                         "or stacked)" % (fn, name, b, concatenated or (size,) + s, size, s))


def all_gather_into_tensor(output_tensor, input_tensor, group=None, async_op=False):
    """Fills output_tensor (in place) with every rank's input_tensor in group-rank
    order, concatenated along dim 0 or stacked, as its shape says."""
    fn = "all_gather_into_tensor"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error = None
    try:
        _check_tensor(fn, "input_tensor", input_tensor)
        _check_tensor(fn, "output_tensor", output_tensor)
        _stacked_shape(fn, "output_tensor", output_tensor, input_tensor, g.size)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    _agree(g, g.device(input_tensor), _CODES[fn] * 16, 0, input_tensor, error)
    mine = _rows(input_tensor)
    rows = [_torch.empty_like(mine) for _ in range(g.size)]

    def start(a):
        if mine.numel() == 0:
            return []
        return [_dist().all_gather(rows, mine, group=g.handle, async_op=a)]

    def finish():
        _store(output_tensor, _tensor(_torch.cat(rows), output_tensor.shape))
    return _launch(async_op, start, finish)


def _scatter_reduce(g, op, mine_parts, out, shape, async_op):
    """Rank r's output is the reduction of every rank's mine_parts[r]: each
    part goes to its rank, which combines them in group-rank order."""
    dist = _dist()
    received = [[_torch.empty_like(mine_parts[0]) for _ in range(g.size)] if r == g.rank else None
                for r in range(g.size)]

    def start(a):
        if mine_parts[0].numel() == 0:
            return []
        return [dist.gather(mine_parts[r], received[r], dst=g.global_rank(r), group=g.handle, async_op=a)
                for r in range(g.size)]

    def finish():
        _store(out, _combine(op, [_tensor(x, shape) for x in received[g.rank]], g.size))
    return _launch(async_op, start, finish)


def reduce_scatter(output, input_list, op=ReduceOp.SUM, group=None, async_op=False):
    """Rank r's output becomes (in place) the reduction across the group of
    every rank's input_list[r], in group-rank order by the library's arithmetic."""
    fn = "reduce_scatter"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error = None
    try:
        op = _reduce_op(fn, op)
        _check_tensor(fn, "output", output)
        _check_list(fn, "input_list", input_list, g.size, output.shape)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    code = _CODES[fn] * 16 + (op.value if error is None else 0)
    shape = _agree(g, g.device(output), code, 0, output, error)
    return _scatter_reduce(g, op, [_rows(t) for t in input_list], output, shape, async_op)


def reduce_scatter_tensor(output, input, op=ReduceOp.SUM, group=None, async_op=False):
    """reduce_scatter with input one tensor: the group's chunks of output's
    shape, concatenated along dim 0 or stacked."""
    fn = "reduce_scatter_tensor"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    error = None
    try:
        op = _reduce_op(fn, op)
        _check_tensor(fn, "output", output)
        _check_tensor(fn, "input", input)
        _stacked_shape(fn, "input", input, output, g.size)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    code = _CODES[fn] * 16 + (op.value if error is None else 0)
    shape = _agree(g, g.device(output), code, 0, output, error)
    rows, n = _rows(input), _numel(shape)
    return _scatter_reduce(g, op, [rows[k * n:(k + 1) * n] for k in range(g.size)], output, shape, async_op)


def _rooted_list(fn, g, tensor, root_name, root_value, list_name, items, role):
    """gather's and scatter's checks (the list only on the root), then the
    exchange of headers: (the root's group rank, the agreed shape)."""
    error, root = None, -1
    try:
        root = g.group_rank(root_name, root_value)
        _check_tensor(fn, "tensor", tensor)
        if g.rank == root:
            if items is None:
                raise ValueError("Argument ``%s`` must be specified on %s rank." % (list_name, role))
            _check_list(fn, list_name, items, g.size, tensor.shape)
        elif items:
            raise ValueError("Argument ``%s`` must NOT be specified on non-%s ranks." % (list_name, role))
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    return root, _agree(g, g.device(tensor), _CODES[fn] * 16, root, tensor, error)


def gather(tensor, gather_list=None, dst=0, group=None, async_op=False):
    """Rank dst's gather_list[r] becomes (in place) rank r's tensor; the other
    ranks pass gather_list=None."""
    fn = "gather"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    root, shape = _rooted_list(fn, g, tensor, "dst", dst, "gather_list", gather_list, "destination")
    mine = _rows(tensor)
    rows = [_torch.empty_like(mine) for _ in range(g.size)] if g.rank == root else None

    def start(a):
        if mine.numel() == 0:
            return []
        return [_dist().gather(mine, rows, dst=dst, group=g.handle, async_op=a)]

    def finish():
        if g.rank == root:
            for out, r in zip(gather_list, rows):
                _store(out, _tensor(r, shape))
    return _launch(async_op, start, finish)


def scatter(tensor, scatter_list=None, src=0, group=None, async_op=False):
    """Rank r's tensor becomes (in place) rank src's scatter_list[r]; the
    other ranks pass scatter_list=None."""
    fn = "scatter"
    _check_async(fn, async_op)
    g = _Group(fn, group)
    if _not_member(g):
        return None
    root, shape = _rooted_list(fn, g, tensor, "src", src, "scatter_list", scatter_list, "source")
    buf = _torch.empty_like(_rows(tensor))
    parts = [_rows(t) for t in scatter_list] if g.rank == root else None

    def start(a):
        if buf.numel() == 0:
            return []
        return [_dist().scatter(buf, parts, src=src, group=g.handle, async_op=a)]

    def finish():
        _store(tensor, _tensor(buf, shape))
    return _launch(async_op, start, finish)


# Point to point. The sender first sends its header (its shape); the
# receiver answers with its own and posts a receive of that many rows plus
# a status row, and the sender fills exactly that: a size gloo did not
# expect would abort the process, and a missing message would hang it.
# Tag t uses tags 3t (header), 3t+1 (answer) and 3t+2 (rows).
_sending = collections.defaultdict(list)  # (group, dst, tag) -> sends waiting for their answer


def _check_tag(fn, tag):
    if isinstance(tag, bool) or not isinstance(tag, int):
        raise TypeError("%s(): argument 'tag' must be int, not %s" % (fn, type(tag).__name__))
    if not 0 <= tag < _MAX_TAG:
        raise ValueError("%s(): tag must be in [0, %d), got %d" % (fn, _MAX_TAG, tag))


def _peer(fn, name, g, peer):
    if isinstance(peer, bool) or not isinstance(peer, int):
        raise TypeError("%s(): argument '%s' must be int, not %s" % (fn, name, type(peer).__name__))
    g.group_rank(name, peer)
    if peer == g.global_rank(g.rank):
        raise ValueError("%s(): %s=%d is this process's own rank" % (fn, name, peer))


def _numel(shape):
    n = 1
    for d in shape:
        n *= d
    return n


class _Send(_Work):
    """A posted send: its rows go out once the receiver's answer says how
    many it expects, in posting order of the sends to the same rank and tag."""

    def __init__(self, fn, g, rows, shape, dst, tag, error):
        super().__init__([])
        self._fn, self._g, self._rows, self._shape, self._dst, self._tag = fn, g, rows, shape, dst, tag
        dist = _dist()
        device = rows.device
        header = _torch.tensor(_header(0 if error is None else 1, _CODES["send"] * 16, 0, shape),
                               dtype=_torch.int64, device=device)
        self._answer = _torch.empty(_HEADER, dtype=_torch.int64, device=device)
        self._works = [dist.isend(header, dst, group=g.handle, tag=3 * tag),
                       dist.irecv(self._answer, dst, group=g.handle, tag=3 * tag + 1)]
        self._header = header
        self._error = error
        self._sent = None
        _sending[(id(g.handle), dst, tag)].append(self)

    def _post(self):
        if self._sent is not None:
            return
        queue = _sending[(id(self._g.handle), self._dst, self._tag)]
        for other in list(queue[:queue.index(self)] if self in queue else ()):
            other._post()
        try:
            for w in self._works:
                w.wait()
            a = self._answer.tolist()
            theirs = tuple(a[4:4 + a[3]])
            payload = _torch.zeros((_numel(theirs) + 1, _LIMBS), dtype=_torch.float64, device=self._rows.device)
            if self._error is None and a[0] == 0 and theirs == self._shape:
                payload[:-1] = self._rows
            else:
                payload[-1, 0] = 1.0  # the receiver raises rather than take these rows
                if self._error is None and a[0] != 0:
                    self._error = RuntimeError("%s(): rank %d was called with invalid arguments (it raised)"
                                               % (self._fn, self._dst))
                elif self._error is None:
                    self._error = ValueError("%s(): rank %d expects a tensor of shape %s; this one has shape %s"
                                             % (self._fn, self._dst, theirs, self._shape))
            self._sent = _dist().isend(payload, self._dst, group=self._g.handle, tag=3 * self._tag + 2)
            self._payload = payload
        finally:
            if self in queue:
                queue.remove(self)

    def wait(self, timeout=None):
        """Waits until the receiver has the rows; returns True."""
        if self._done:
            return True
        self._post()
        self._sent.wait()
        self._done = True
        if self._error is not None:
            raise self._error
        return True


def _post_send(fn, tensor, dst, group, tag):
    g = _Group(fn, group)
    if _not_member(g):
        return None
    _check_tag(fn, tag)
    _peer(fn, "dst", g, dst)
    error = None
    try:
        _check_tensor(fn, "tensor", tensor)
    except Exception as e:  # raised on every rank, after the exchange
        error = e
    if error is None:
        rows, shape = _rows(tensor).clone(), tuple(tensor.shape)
    else:
        rows, shape = _torch.empty((0, _LIMBS), dtype=_torch.float64, device=g.device(None)), ()
    return _Send(fn, g, rows, shape, dst, tag, error)


def send(tensor, dst, group=None, tag=0):
    """Sends tensor (all its limbs) to rank dst, which calls recv."""
    work = _post_send("send", tensor, dst, group, tag)
    if work is not None:
        work.wait()


def isend(tensor, dst, group=None, tag=0):
    """send without waiting: the returned work's wait() completes it."""
    return _post_send("isend", tensor, dst, group, tag)


class _Receive(_Work):
    """A posted receive. With its source named, everything is posted at once;
    from any source, the answer goes out once wait() has the sender's header."""

    def __init__(self, fn, g, tensor, src, tag, error=None):
        super().__init__([])
        self._fn, self._g, self._tensor, self._src, self._tag = fn, g, tensor, src, tag
        self._error = error
        dist = _dist()
        device = g.device(tensor if error is None else None)
        self._header = _torch.empty(_HEADER, dtype=_torch.int64, device=device)
        shape = tuple(tensor.shape) if error is None else ()
        self._answer = _torch.tensor(_header(0 if error is None else 1, _CODES["send"] * 16, 0, shape),
                                     dtype=_torch.int64, device=device)
        self._rows = _torch.empty((_numel(shape) + 1, _LIMBS), dtype=_torch.float64, device=device)
        self.sender = src
        if src is None:
            self._first = dist.irecv(self._header, None, group=g.handle, tag=3 * tag)
        else:
            self._first = dist.irecv(self._header, src, group=g.handle, tag=3 * tag)
            self._rest = self._answer_and_receive(src)

    def _answer_and_receive(self, src):
        dist = _dist()
        return [dist.isend(self._answer, src, group=self._g.handle, tag=3 * self._tag + 1),
                dist.irecv(self._rows, src, group=self._g.handle, tag=3 * self._tag + 2)]

    def wait(self, timeout=None):
        """Waits for the message and writes it into the receiving tensor; returns True."""
        if self._done:
            return True
        self._first.wait()
        if self._src is None:
            w = self._first
            self.sender = self._g.global_rank(w._source_rank() if hasattr(w, "_source_rank") else w.source_rank())
            self._rest = self._answer_and_receive(self.sender)
        for w in self._rest:
            w.wait()
        self._done = True
        if self._error is not None:
            raise self._error
        h = self._header.tolist()
        if h[0] != 0:
            raise RuntimeError("%s(): rank %d was called with invalid arguments (it raised)" % (self._fn, self.sender))
        theirs = tuple(h[4:4 + h[3]])
        if self._rows[-1, 0].item() != 0 or theirs != tuple(self._tensor.shape):
            raise ValueError("%s(): rank %d sent a tensor of shape %s into one of shape %s"
                             % (self._fn, self.sender, theirs, tuple(self._tensor.shape)))
        _store(self._tensor, _tensor(self._rows[:-1], theirs))
        return True


def _post_recv(fn, tensor, src, group, tag):
    g = _Group(fn, group)
    if _not_member(g):
        return None
    _check_tag(fn, tag)
    if src is not None:
        _peer(fn, "src", g, src)
    elif g.size == 1:
        raise ValueError("%s(): no other rank in the group can send (world size 1)" % fn)
    try:
        _check_tensor(fn, "tensor", tensor)
    except Exception as e:  # a named sender is still answered, so it raises instead of waiting
        if src is None:
            raise
        _Receive(fn, g, tensor, src, tag, e).wait()
    return _Receive(fn, g, tensor, src, tag)


def recv(tensor, src=None, group=None, tag=0):
    """Receives into tensor (in place) what rank src (any rank when None) sends;
    returns the sender's rank."""
    receive = _post_recv("recv", tensor, src, group, tag)
    if receive is None:
        return -1
    receive.wait()
    return receive.sender


def irecv(tensor, src=None, group=None, tag=0):
    """recv without waiting: the returned work's wait() writes the message
    into tensor. From any source (src=None) the sender's rows leave only
    once wait() is called here, so wait for it before waiting for sends
    that depend on it."""
    return _post_recv("irecv", tensor, src, group, tag)


# Several tensors in one transfer, for data-parallel training.

def _all_reduce_coalesced(tensors, op, group=None, signature=None):
    """all_reduce of several tensors by one exchange of their concatenated rows;
    signature (a few integers standing for their shapes) must agree across the ranks."""
    fn = "all_reduce"
    g = _Group(fn, group)
    if _not_member(g) or not tensors:
        return
    total = sum(_numel(t.shape) for t in tensors)
    _agree(g, g.device(tensors[0]), _CODES["_all_reduce_coalesced"] * 16 + op.value, 0, signature or (total,), None)
    shape = (total,)
    flat = _torch.cat([_rows(t) for t in tensors])
    rows = [_torch.empty_like(flat) for _ in range(g.size)]
    if total:
        _dist().all_gather(rows, flat, group=g.handle)
    out = _rows(_combine(op, [_tensor(r, shape) for r in rows], g.size))
    at = 0
    for t in tensors:
        n = _numel(t.shape)
        _store(t, _tensor(out[at:at + n], t.shape))
        at += n


def _broadcast_coalesced(tensors, src, group=None, signature=None):
    """broadcast of several tensors by one transfer of their concatenated rows;
    signature (a few integers standing for their shapes) must agree across the ranks."""
    fn = "broadcast"
    g = _Group(fn, group)
    if _not_member(g) or not tensors:
        return
    total = sum(_numel(t.shape) for t in tensors)
    _agree(g, g.device(tensors[0]), _CODES["_broadcast_coalesced"] * 16, g.group_rank("src", src),
           signature or (total,), None)
    flat = _torch.cat([_rows(t) for t in tensors]).contiguous()
    if total:
        _dist().broadcast(flat, src, group=g.handle)
    at = 0
    for t in tensors:
        n = _numel(t.shape)
        _store(t, _tensor(flat[at:at + n], t.shape))
        at += n


_PUBLIC = ("is_available", "is_initialized", "init_process_group", "destroy_process_group", "new_group",
           "get_rank", "get_world_size", "get_backend", "barrier", "ReduceOp", "all_reduce", "reduce", "broadcast",
           "all_gather", "all_gather_into_tensor", "reduce_scatter", "reduce_scatter_tensor", "gather", "scatter",
           "send", "recv", "isend", "irecv")


def install(zel):
    """Adds zel.distributed (registered as varnel.zel.zel.distributed) to varnel.zel.zel."""
    import sys
    global _zel
    _zel = zel
    mod = types.ModuleType(zel.__name__ + ".distributed", "torch.distributed for varnel.zel tensors.")
    for name in _PUBLIC:
        setattr(mod, name, globals()[name])
    mod.GroupMember = getattr(_torch.distributed, "GroupMember", None) if is_available() else None
    mod.__all__ = list(_PUBLIC)
    zel.distributed = mod
    sys.modules[mod.__name__] = mod
    return mod
