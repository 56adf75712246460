"""torch.optim for varnel.zel: optimizers and learning-rate schedulers.

The updates follow PyTorch's default (for-loop) implementations operation by
operation, computed with the library's limb arithmetic; the optimizer state is
tensors of this library. Hyperparameters stay Python numbers, as in PyTorch;
the scalar factors derived from them and from the step count (bias
corrections, step sizes) are computed as 0-d tensors of this library.
"""
import copy
import functools
import math
import types
import warnings
from collections import Counter
from collections.abc import MutableMapping

import numpy as _np
import torch as _torch

class _Library:
    """Stands for varnel.zel.zel until install() runs: imported directly, this
    module gets it on first use (importing it installs this module)."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here

def _installed_torch_has(module, name, text):
    """Whether the installed PyTorch's source of module.name holds text (None when it cannot be read)."""
    try:
        import importlib
        import inspect
        return text in inspect.getsource(getattr(importlib.import_module(module), name))
    except Exception:  # no source installed, or no such function
        return None


_TORCH_1 = int(_torch.__version__.split(".")[0]) < 2


@functools.lru_cache(maxsize=None)
def _legacy_nadam():
    """PyTorch 1.x NAdam multiplies mu twice into the next momentum product;
    later versions fixed it. The library follows the PyTorch it is installed beside."""
    found = _installed_torch_has("torch.optim.nadam", "_single_tensor_nadam", "mu_product * mu * mu_next")
    return _TORCH_1 if found is None else found


@functools.lru_cache(maxsize=None)
def _legacy_linear_lr_message():
    """LinearLR's message for a bad start_factor changed with the check."""
    found = _installed_torch_has("torch.optim.lr_scheduler", "LinearLR",
                                 "Starting multiplicative factor expected to be between 0 and 1.")
    return _TORCH_1 if found is None else found


@functools.lru_cache(maxsize=None)
def _bounded_line_search():
    """Later LBFGS bound the line search by the evaluations left (max_eval)."""
    found = _installed_torch_has("torch.optim.lbfgs", "LBFGS", "max_ls=max_eval - current_evals")
    return (not _TORCH_1) if found is None else found


@functools.lru_cache(maxsize=None)
def _legacy_param_length_message():
    """The schedulers' message for a per-group list of the wrong length changed wording."""
    found = _installed_torch_has("torch.optim.lr_scheduler", "_format_param",
                                 "must have the same length as optimizer.param_groups")
    return _TORCH_1 if found is None else not found


class _RequiredParameter:
    """Marks a hyperparameter that has no default (SGD's lr)."""

    def __repr__(self):
        return "<required parameter>"


required = _RequiredParameter()


def _torch_sgd_lr():
    # PyTorch 2.2 gave SGD a default lr of 1e-3; earlier versions require it.
    try:
        import inspect
        default = inspect.signature(_torch.optim.SGD).parameters["lr"].default
    except (ValueError, TypeError, KeyError):
        return required
    return default if isinstance(default, float) else required


def _scalar(x):
    """A Python number or 0-d tensor as a 0-d tensor of this library."""
    if isinstance(x, _zel.Tensor):
        return x
    return _zel.tensor(float(x))


def _powi(base, n):
    """base ** n for a float base and an integer n >= 0, by squaring in limb arithmetic."""
    result = _zel.tensor(1.0)
    b = _scalar(base)
    n = int(n)
    while n:
        if n & 1:
            result = result * b
        n >>= 1
        if n:
            b = b * b
    return result


def _check_number(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")


def _check_betas(betas):
    if not isinstance(betas, (tuple, list)) or len(betas) != 2:
        raise ValueError(f"Invalid betas: {betas!r}")
    for i, b in enumerate(betas):
        _check_number("betas", b)
        if not 0.0 <= b < 1.0:
            raise ValueError(f"Invalid beta parameter at index {i}: {b}")


def _validate(lr=None, eps=None, weight_decay=None, betas=None):
    if lr is not None:
        _check_number("lr", lr)
        if not 0.0 <= lr:
            raise ValueError(f"Invalid learning rate: {lr}")
    if eps is not None:
        _check_number("eps", eps)
        if not 0.0 <= eps:
            raise ValueError(f"Invalid epsilon value: {eps}")
    if betas is not None:
        _check_betas(betas)
    if weight_decay is not None:
        _check_number("weight_decay", weight_decay)
        if not 0.0 <= weight_decay:
            raise ValueError(f"Invalid weight_decay value: {weight_decay}")


class _ParamState(MutableMapping):
    """Per-parameter state: a defaultdict(dict) keyed by tensor identity (tensors do not hash)."""

    def __init__(self):
        self._items = {}

    @staticmethod
    def _key(k):
        return ("t", id(k)) if isinstance(k, _zel.Tensor) else ("v", k)

    def __getitem__(self, k):
        key = self._key(k)
        if key not in self._items:
            self._items[key] = (k, {})
        return self._items[key][1]

    def __setitem__(self, k, v):
        self._items[self._key(k)] = (k, v)

    def __delitem__(self, k):
        del self._items[self._key(k)]

    def __contains__(self, k):
        return self._key(k) in self._items

    def __iter__(self):
        return (k for k, _ in list(self._items.values()))

    def __len__(self):
        return len(self._items)

    def __repr__(self):
        return "{" + ", ".join(f"{k!r}: {v!r}" for k, v in self._items.values()) + "}"


class Optimizer:
    """Base class of the optimizers, with PyTorch's contract.

    params: an iterable of tensors that require grad, or of dicts that define
    parameter groups (each with a "params" entry and optional per-group
    hyperparameters). defaults: the hyperparameters of groups that do not set
    them.
    """

    def __init__(self, params, defaults):
        self.defaults = defaults
        self.state = _ParamState()
        self.param_groups = []
        if isinstance(params, _zel.Tensor):
            raise TypeError("params argument given to the optimizer should be an iterable of Tensors or dicts, "
                            "but got " + type(params).__name__)
        try:
            param_groups = list(params)
        except TypeError:
            raise TypeError("params argument given to the optimizer should be an iterable of Tensors or dicts, "
                            "but got " + type(params).__name__) from None
        if len(param_groups) == 0:
            raise ValueError("optimizer got an empty parameter list")
        if not isinstance(param_groups[0], dict):
            param_groups = [{"params": param_groups}]
        for param_group in param_groups:
            self.add_param_group(param_group)

    def __getstate__(self):
        return {"defaults": self.defaults, "state": self.state, "param_groups": self.param_groups}

    def __setstate__(self, state):
        self.__dict__.update(state)

    def __repr__(self):
        lines = [self.__class__.__name__ + " ("]
        for i, group in enumerate(self.param_groups):
            lines.append(f"Parameter Group {i}")
            for key in sorted(group):
                if key != "params":
                    lines.append(f"    {key}: {group[key]}")
        lines.append(")")
        return "\n".join(lines)

    def add_param_group(self, param_group):
        """Adds a parameter group (a dict with "params") to param_groups."""
        if not isinstance(param_group, dict):
            raise TypeError("param group must be a dict")
        params = param_group.get("params")
        if params is None:
            raise ValueError("parameter group didn't specify a value of required optimization parameter params")
        if isinstance(params, _zel.Tensor):
            param_group["params"] = [params]
        elif isinstance(params, set):
            raise TypeError("optimizer parameters need to be organized in ordered collections, but "
                            "the ordering of tensors in sets will change between runs. Please use a list instead.")
        else:
            try:
                param_group["params"] = list(params)
            except TypeError:
                raise TypeError("optimizer can only optimize Tensors, but one of the params is "
                                + type(params).__name__) from None
        for param in param_group["params"]:
            if not isinstance(param, _zel.Tensor):
                raise TypeError("optimizer can only optimize Tensors, but one of the params is "
                                + type(param).__name__)
            if not param.is_leaf:
                raise ValueError("can't optimize a non-leaf Tensor")
        for name, default in self.defaults.items():
            if default is required and name not in param_group:
                raise ValueError("parameter group didn't specify a value of required optimization parameter "
                                 + name)
            param_group.setdefault(name, default)
        params = param_group["params"]
        if len(params) != len(set(map(id, params))):
            warnings.warn("optimizer contains a parameter group with duplicate parameters; "
                          "in future, this will cause an error; "
                          "see github.com/pytorch/pytorch/issues/40967 for more information", stacklevel=3)
        param_set = set()
        for group in self.param_groups:
            param_set.update(map(id, group["params"]))
        if not param_set.isdisjoint(map(id, param_group["params"])):
            raise ValueError("some parameters appear in more than one parameter group")
        self.param_groups.append(param_group)

    def zero_grad(self, set_to_none=True):
        """Sets the gradients of all parameters to None (or to zeros)."""
        for group in self.param_groups:
            for p in group["params"]:
                if p.grad is not None:
                    if set_to_none:
                        p.grad = None
                    elif p.grad.grad_fn is not None or p.grad.requires_grad:
                        p.grad = _zel.zeros_like(p.grad)  # a gradient with history: detached, as PyTorch
                    else:
                        p.grad.zero_()

    def state_dict(self):
        """The state and the groups' hyperparameters, parameters replaced by their indices."""
        index = {}
        start = 0

        def pack_group(group):
            nonlocal start
            packed = {k: v for k, v in group.items() if k != "params"}
            index.update({id(p): i for i, p in enumerate(group["params"], start) if id(p) not in index})
            packed["params"] = [index[id(p)] for p in group["params"]]
            start += len(packed["params"])
            return packed

        param_groups = [pack_group(g) for g in self.param_groups]
        packed_state = {(index[id(k)] if isinstance(k, _zel.Tensor) else k): v for k, v in self.state.items()}
        return {"state": packed_state, "param_groups": param_groups}

    def load_state_dict(self, state_dict):
        """Loads a state_dict() of an optimizer of the same parameter layout (a deep copy of it)."""
        if not isinstance(state_dict, dict) or "state" not in state_dict or "param_groups" not in state_dict:
            raise ValueError("state_dict must be a dict with 'state' and 'param_groups'")
        state_dict = copy.deepcopy(state_dict)
        groups = self.param_groups
        saved_groups = state_dict["param_groups"]
        if len(groups) != len(saved_groups):
            raise ValueError("loaded state dict has a different number of parameter groups")
        param_lens = (len(g["params"]) for g in groups)
        saved_lens = (len(g["params"]) for g in saved_groups)
        if any(p_len != s_len for p_len, s_len in zip(param_lens, saved_lens)):
            raise ValueError("loaded state dict contains a parameter group "
                             "that doesn't match the size of optimizer's group")
        id_map = {}
        for g, sg in zip(groups, saved_groups):
            for old_id, p in zip(sg["params"], g["params"]):
                id_map[old_id] = p
        state = _ParamState()
        for k, v in state_dict["state"].items():
            if not isinstance(k, _zel.Tensor) and k in id_map:
                state[id_map[k]] = v
            else:
                state[k] = v
        new_groups = []
        for g, sg in zip(groups, saved_groups):
            sg = dict(sg)
            sg["params"] = g["params"]
            new_groups.append(sg)
        self.__setstate__({"state": state, "param_groups": new_groups})

    def step(self, closure=None):
        """Performs one optimization step (closure: reevaluates the loss, optional)."""
        raise NotImplementedError

    def _closure_loss(self, closure):
        if closure is None:
            return None
        with _zel.enable_grad():
            return closure()

    def _grads(self, group):
        """(param, grad) of the group's parameters that have a gradient."""
        out = []
        for p in group["params"]:
            if p.grad is not None:
                out.append((p, p.grad))
        return out


def _step_of(state):
    step_t = state["step"]
    step_t.add_(1)
    return int(step_t.item())


class SGD(Optimizer):
    """Stochastic gradient descent, optionally with (Nesterov) momentum, as torch.optim.SGD."""

    def __init__(self, params, lr=None, momentum=0, dampening=0, weight_decay=0, nesterov=False, *,
                 maximize=False, foreach=None, differentiable=False, fused=None):
        if lr is None:
            lr = _torch_sgd_lr()
        if lr is not required:
            _check_number("lr", lr)
            if lr < 0.0:
                raise ValueError(f"Invalid learning rate: {lr}")
        _check_number("momentum", momentum)
        if momentum < 0.0:
            raise ValueError(f"Invalid momentum value: {momentum}")
        _check_number("weight_decay", weight_decay)
        if weight_decay < 0.0:
            raise ValueError(f"Invalid weight_decay value: {weight_decay}")
        _check_number("dampening", dampening)
        defaults = dict(lr=lr, momentum=momentum, dampening=dampening, weight_decay=weight_decay,
                        nesterov=nesterov, maximize=maximize, foreach=foreach, differentiable=differentiable,
                        fused=fused)
        if nesterov and (momentum <= 0 or dampening != 0):
            raise ValueError("Nesterov momentum requires a momentum and zero dampening")
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                lr, momentum, dampening = group["lr"], group["momentum"], group["dampening"]
                for p, d_p in self._grads(group):
                    if group["maximize"]:
                        d_p = -d_p
                    if group["weight_decay"] != 0:
                        d_p = d_p + p * group["weight_decay"]
                    state = self.state[p]
                    if momentum != 0:
                        buf = state.get("momentum_buffer")
                        if buf is None:
                            buf = d_p.detach().clone()
                        else:
                            buf.mul_(momentum).add_(d_p * _one_minus(dampening) if dampening else d_p)
                        state["momentum_buffer"] = buf
                        d_p = d_p + buf * momentum if group["nesterov"] else buf
                    else:
                        state["momentum_buffer"] = None
                    p.sub_(d_p * lr)
        return loss


def _one_minus(beta):
    return 1 - _scalar(beta)


class Adam(Optimizer):
    """Adam, as torch.optim.Adam (weight decay added to the gradient)."""

    _decoupled = False

    def __init__(self, params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0, amsgrad=False, *,
                 foreach=None, maximize=False, capturable=False, differentiable=False, fused=None):
        _validate(lr=lr, eps=eps, betas=betas, weight_decay=weight_decay)
        defaults = dict(lr=lr, betas=tuple(betas), eps=eps, weight_decay=weight_decay, amsgrad=amsgrad,
                        maximize=maximize, foreach=foreach, capturable=capturable, differentiable=differentiable,
                        fused=fused)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                beta1, beta2 = group["betas"]
                lr, eps, wd = group["lr"], group["eps"], group["weight_decay"]
                for p, grad in self._grads(group):
                    grad = -grad if group["maximize"] else grad
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["exp_avg"] = _zel.zeros_like(p)
                        state["exp_avg_sq"] = _zel.zeros_like(p)
                        if group["amsgrad"]:
                            state["max_exp_avg_sq"] = _zel.zeros_like(p)
                    exp_avg, exp_avg_sq = state["exp_avg"], state["exp_avg_sq"]
                    step = _step_of(state)
                    if self._decoupled:
                        p.mul_(1 - _scalar(lr) * wd)
                    elif wd != 0:
                        grad = grad + p * wd
                    exp_avg.mul_(beta1).add_(grad * _one_minus(beta1))
                    exp_avg_sq.mul_(beta2).add_(grad * grad * _one_minus(beta2))
                    bias_correction1 = 1 - _powi(beta1, step)
                    bias_correction2 = 1 - _powi(beta2, step)
                    step_size = lr / bias_correction1
                    bias_correction2_sqrt = bias_correction2.sqrt()
                    if group["amsgrad"]:
                        state["max_exp_avg_sq"].copy_(_zel.maximum(state["max_exp_avg_sq"], exp_avg_sq))
                        denom = (state["max_exp_avg_sq"].sqrt() / bias_correction2_sqrt).add_(eps)
                    else:
                        denom = (exp_avg_sq.sqrt() / bias_correction2_sqrt).add_(eps)
                    p.sub_(exp_avg / denom * step_size)
        return loss


class AdamW(Adam):
    """AdamW, as torch.optim.AdamW (decoupled weight decay, default 1e-2)."""

    _decoupled = True

    def __init__(self, params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=1e-2, amsgrad=False, *,
                 maximize=False, foreach=None, capturable=False, differentiable=False, fused=None):
        super().__init__(params, lr=lr, betas=betas, eps=eps, weight_decay=weight_decay, amsgrad=amsgrad,
                         maximize=maximize, foreach=foreach, capturable=capturable, differentiable=differentiable,
                         fused=fused)


class RMSprop(Optimizer):
    """RMSprop, as torch.optim.RMSprop (optionally centered, with momentum)."""

    def __init__(self, params, lr=1e-2, alpha=0.99, eps=1e-8, weight_decay=0, momentum=0, centered=False,
                 capturable=False, foreach=None, maximize=False, differentiable=False):
        _validate(lr=lr, eps=eps)
        _check_number("momentum", momentum)
        if not 0.0 <= momentum:
            raise ValueError(f"Invalid momentum value: {momentum}")
        _validate(weight_decay=weight_decay)
        _check_number("alpha", alpha)
        if not 0.0 <= alpha:
            raise ValueError(f"Invalid alpha value: {alpha}")
        defaults = dict(lr=lr, momentum=momentum, alpha=alpha, eps=eps, centered=centered,
                        weight_decay=weight_decay, capturable=capturable, foreach=foreach, maximize=maximize,
                        differentiable=differentiable)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                lr, alpha, eps, momentum = group["lr"], group["alpha"], group["eps"], group["momentum"]
                for p, grad in self._grads(group):
                    grad = -grad if group["maximize"] else grad
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["square_avg"] = _zel.zeros_like(p)
                        if momentum > 0:
                            state["momentum_buffer"] = _zel.zeros_like(p)
                        if group["centered"]:
                            state["grad_avg"] = _zel.zeros_like(p)
                    state["step"].add_(1)
                    if group["weight_decay"] != 0:
                        grad = grad + p * group["weight_decay"]
                    square_avg = state["square_avg"]
                    square_avg.mul_(alpha).add_(grad * grad * _one_minus(alpha))
                    if group["centered"]:
                        grad_avg = state["grad_avg"]
                        grad_avg.mul_(alpha).add_(grad * _one_minus(alpha))
                        avg = (square_avg - grad_avg * grad_avg).sqrt()
                    else:
                        avg = square_avg.sqrt()
                    avg = avg.add_(eps)
                    if momentum > 0:
                        buf = state["momentum_buffer"]
                        buf.mul_(momentum).add_(grad / avg)
                        p.sub_(buf * lr)
                    else:
                        p.sub_(grad / avg * lr)
        return loss


class Adagrad(Optimizer):
    """Adagrad, as torch.optim.Adagrad (state created with the optimizer)."""

    def __init__(self, params, lr=1e-2, lr_decay=0, weight_decay=0, initial_accumulator_value=0, eps=1e-10,
                 foreach=None, *, maximize=False, differentiable=False, fused=None):
        _validate(lr=lr)
        _check_number("lr_decay", lr_decay)
        if not 0.0 <= lr_decay:
            raise ValueError(f"Invalid lr_decay value: {lr_decay}")
        _validate(weight_decay=weight_decay)
        _check_number("initial_accumulator_value", initial_accumulator_value)
        if not 0.0 <= initial_accumulator_value:
            raise ValueError(f"Invalid initial_accumulator_value value: {initial_accumulator_value}")
        _validate(eps=eps)
        defaults = dict(lr=lr, lr_decay=lr_decay, eps=eps, weight_decay=weight_decay,
                        initial_accumulator_value=initial_accumulator_value, foreach=foreach, maximize=maximize,
                        differentiable=differentiable, fused=fused)
        super().__init__(params, defaults)
        for group in self.param_groups:
            for p in group["params"]:
                state = self.state[p]
                state["step"] = _zel.tensor(0.0)
                state["sum"] = _zel.full_like(p, float(group["initial_accumulator_value"]))

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                for p, grad in self._grads(group):
                    state = self.state[p]
                    step = _step_of(state)
                    grad = -grad if group["maximize"] else grad
                    if group["weight_decay"] != 0:
                        grad = grad + p * group["weight_decay"]
                    clr = group["lr"] / (1 + _scalar(step - 1) * group["lr_decay"])
                    state["sum"].add_(grad * grad)
                    std = state["sum"].sqrt().add_(group["eps"])
                    p.sub_(grad / std * clr)
        return loss


class Adadelta(Optimizer):
    """Adadelta, as torch.optim.Adadelta."""

    def __init__(self, params, lr=1.0, rho=0.9, eps=1e-6, weight_decay=0, foreach=None, *, maximize=False,
                 differentiable=False, capturable=False):
        _validate(lr=lr)
        _check_number("rho", rho)
        if not 0.0 <= rho <= 1.0:
            raise ValueError(f"Invalid rho value: {rho}")
        _validate(eps=eps, weight_decay=weight_decay)
        defaults = dict(lr=lr, rho=rho, eps=eps, weight_decay=weight_decay, maximize=maximize, foreach=foreach,
                        differentiable=differentiable, capturable=capturable)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                lr, rho, eps = group["lr"], group["rho"], group["eps"]
                for p, grad in self._grads(group):
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["square_avg"] = _zel.zeros_like(p)
                        state["acc_delta"] = _zel.zeros_like(p)
                    state["step"].add_(1)
                    grad = -grad if group["maximize"] else grad
                    if group["weight_decay"] != 0:
                        grad = grad + p * group["weight_decay"]
                    square_avg, acc_delta = state["square_avg"], state["acc_delta"]
                    square_avg.mul_(rho).add_(grad * grad * _one_minus(rho))
                    std = (square_avg + eps).sqrt()
                    delta = (acc_delta + eps).sqrt() / std * grad
                    acc_delta.mul_(rho).add_(delta * delta * _one_minus(rho))
                    p.sub_(delta * lr)
        return loss


class Adamax(Optimizer):
    """Adamax (Adam with the infinity norm), as torch.optim.Adamax."""

    def __init__(self, params, lr=2e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0, foreach=None, *,
                 maximize=False, differentiable=False, capturable=False):
        _validate(lr=lr, eps=eps, betas=betas, weight_decay=weight_decay)
        defaults = dict(lr=lr, betas=tuple(betas), eps=eps, weight_decay=weight_decay, foreach=foreach,
                        maximize=maximize, differentiable=differentiable, capturable=capturable)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                beta1, beta2 = group["betas"]
                for p, grad in self._grads(group):
                    grad = -grad if group["maximize"] else grad
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["exp_avg"] = _zel.zeros_like(p)
                        state["exp_inf"] = _zel.zeros_like(p)
                    step = _step_of(state)
                    if group["weight_decay"] != 0:
                        grad = grad + p * group["weight_decay"]
                    exp_avg, exp_inf = state["exp_avg"], state["exp_inf"]
                    exp_avg.mul_(beta1).add_(grad * _one_minus(beta1))
                    exp_inf.copy_(_zel.maximum(exp_inf.mul_(beta2), grad.abs() + group["eps"]))
                    clr = group["lr"] / (1 - _powi(beta1, step))
                    p.sub_(exp_avg / exp_inf * clr)
        return loss


class NAdam(Optimizer):
    """NAdam (Adam with Nesterov momentum), as torch.optim.NAdam."""

    def __init__(self, params, lr=2e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0, momentum_decay=4e-3,
                 foreach=None, *, maximize=False, decoupled_weight_decay=False, capturable=False,
                 differentiable=False):
        _validate(lr=lr, eps=eps, betas=betas, weight_decay=weight_decay)
        _check_number("momentum_decay", momentum_decay)
        if not 0.0 <= momentum_decay:
            raise ValueError(f"Invalid momentum_decay value: {momentum_decay}")
        defaults = dict(lr=lr, betas=tuple(betas), eps=eps, weight_decay=weight_decay,
                        momentum_decay=momentum_decay, foreach=foreach, maximize=maximize,
                        decoupled_weight_decay=decoupled_weight_decay, capturable=capturable,
                        differentiable=differentiable)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                beta1, beta2 = group["betas"]
                lr, wd, md = group["lr"], group["weight_decay"], group["momentum_decay"]
                for p, grad in self._grads(group):
                    grad = -grad if group["maximize"] else grad
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["mu_product"] = _zel.tensor(1.0)
                        state["exp_avg"] = _zel.zeros_like(p)
                        state["exp_avg_sq"] = _zel.zeros_like(p)
                    step = _step_of(state)
                    bias_correction2 = 1 - _powi(beta2, step)
                    if wd != 0:
                        if group["decoupled_weight_decay"]:
                            p.mul_(1 - _scalar(lr) * wd)
                        else:
                            grad = grad + p * wd
                    decay = _zel.tensor(0.96)
                    mu = beta1 * (1 - 0.5 * _zel.pow(decay, _scalar(step) * md))
                    mu_next = beta1 * (1 - 0.5 * _zel.pow(decay, _scalar(step + 1) * md))
                    mu_product = state["mu_product"]
                    mu_product.mul_(mu)
                    mu_product_next = mu_product * mu * mu_next if _legacy_nadam() else mu_product * mu_next
                    exp_avg, exp_avg_sq = state["exp_avg"], state["exp_avg_sq"]
                    exp_avg.mul_(beta1).add_(grad * _one_minus(beta1))
                    exp_avg_sq.mul_(beta2).add_(grad * grad * _one_minus(beta2))
                    denom = (exp_avg_sq / bias_correction2).sqrt().add_(group["eps"])
                    p.sub_(grad / denom * (lr * (1 - mu) / (1 - mu_product)))
                    p.sub_(exp_avg / denom * (lr * mu_next / (1 - mu_product_next)))
        return loss


class RAdam(Optimizer):
    """RAdam (rectified Adam), as torch.optim.RAdam."""

    def __init__(self, params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0, foreach=None, *,
                 maximize=False, decoupled_weight_decay=False, capturable=False, differentiable=False):
        _validate(lr=lr, eps=eps, betas=betas, weight_decay=weight_decay)
        defaults = dict(lr=lr, betas=tuple(betas), eps=eps, weight_decay=weight_decay, foreach=foreach,
                        maximize=maximize, decoupled_weight_decay=decoupled_weight_decay, capturable=capturable,
                        differentiable=differentiable)
        super().__init__(params, defaults)

    def step(self, closure=None):
        loss = self._closure_loss(closure)
        with _zel.no_grad():
            for group in self.param_groups:
                beta1, beta2 = group["betas"]
                lr, wd = group["lr"], group["weight_decay"]
                for p, grad in self._grads(group):
                    grad = -grad if group["maximize"] else grad
                    state = self.state[p]
                    if len(state) == 0:
                        state["step"] = _zel.tensor(0.0)
                        state["exp_avg"] = _zel.zeros_like(p)
                        state["exp_avg_sq"] = _zel.zeros_like(p)
                    step = _step_of(state)
                    beta2_step = _powi(beta2, step)
                    bias_correction1 = 1 - _powi(beta1, step)
                    bias_correction2 = 1 - beta2_step
                    if wd != 0:
                        if group["decoupled_weight_decay"]:
                            p.mul_(1 - _scalar(lr) * wd)
                        else:
                            grad = grad + p * wd
                    exp_avg, exp_avg_sq = state["exp_avg"], state["exp_avg_sq"]
                    exp_avg.mul_(beta1).add_(grad * _one_minus(beta1))
                    exp_avg_sq.mul_(beta2).add_(grad * grad * _one_minus(beta2))
                    bias_corrected_exp_avg = exp_avg / bias_correction1
                    rho_inf = 2 / _one_minus(beta2) - 1
                    rho_t = rho_inf - 2 * step * beta2_step / bias_correction2
                    if float(rho_t) > 5.0:
                        rect = ((rho_t - 4) * (rho_t - 2) * rho_inf / ((rho_inf - 4) * (rho_inf - 2) * rho_t)).sqrt()
                        adaptive_lr = bias_correction2.sqrt() / exp_avg_sq.sqrt().add_(group["eps"])
                        p.sub_(bias_corrected_exp_avg * lr * adaptive_lr * rect)
                    else:
                        p.sub_(bias_corrected_exp_avg * lr)
        return loss


def _cubic_interpolate(x1, f1, g1, x2, f2, g2, bounds=None):
    """Minimiser of the cubic through two points with slopes, clamped to bounds (PyTorch's lbfgs.py).

    Step lengths, losses and slopes here are Python floats: they only choose
    where to evaluate next, the iterate itself stays in limb arithmetic.
    """
    # IEEE float64 scalars: a zero width or an overflow gives inf or NaN, as
    # PyTorch's tensors do, instead of a Python exception.
    with _np.errstate(all="ignore"):
        x1, f1, g1, x2, f2, g2 = (_np.float64(v) for v in (x1, f1, g1, x2, f2, g2))
        if bounds is not None:
            xmin_bound, xmax_bound = (_np.float64(b) for b in bounds)
        else:
            xmin_bound, xmax_bound = (x1, x2) if x1 <= x2 else (x2, x1)
        d1 = g1 + g2 - 3 * (f1 - f2) / (x1 - x2)
        d2_square = d1 ** 2 - g1 * g2
        if d2_square >= 0:
            d2 = _np.sqrt(d2_square)
            if x1 <= x2:
                min_pos = x2 - (x2 - x1) * ((g2 + d2 - d1) / (g2 - g1 + 2 * d2))
            else:
                min_pos = x1 - (x1 - x2) * ((g1 + d2 - d1) / (g1 - g2 + 2 * d2))
            return float(min(max(min_pos, xmin_bound), xmax_bound))
        return float((xmin_bound + xmax_bound) / 2.0)


def _dot(a, b):
    return float((a * b).sum())


def _strong_wolfe(obj_func, x, t, d, f, g, gtd, c1=1e-4, c2=0.9, tolerance_change=1e-9, max_ls=25):
    """Line search for the strong Wolfe conditions, as PyTorch's lbfgs.py (bracketing, then zoom)."""
    d_norm = float(d.abs().max())
    t = float(t)
    g = g.clone()
    f_new, g_new = obj_func(x, t, d)
    ls_func_evals = 1
    gtd_new = _dot(g_new, d)
    t_prev, f_prev, g_prev, gtd_prev = 0, f, g, gtd
    done = False
    ls_iter = 0
    while ls_iter < max_ls:
        if f_new > (f + c1 * t * gtd) or (ls_iter > 1 and f_new >= f_prev):
            bracket, bracket_f = [t_prev, t], [f_prev, f_new]
            bracket_g, bracket_gtd = [g_prev, g_new.clone()], [gtd_prev, gtd_new]
            break
        if abs(gtd_new) <= -c2 * gtd:
            bracket, bracket_f, bracket_g = [t], [f_new], [g_new]
            done = True
            break
        if gtd_new >= 0:
            bracket, bracket_f = [t_prev, t], [f_prev, f_new]
            bracket_g, bracket_gtd = [g_prev, g_new.clone()], [gtd_prev, gtd_new]
            break
        min_step = t + 0.01 * (t - t_prev)
        max_step = t * 10
        tmp = t
        t = _cubic_interpolate(t_prev, f_prev, gtd_prev, t, f_new, gtd_new, bounds=(min_step, max_step))
        t_prev, f_prev, g_prev, gtd_prev = tmp, f_new, g_new.clone(), gtd_new
        f_new, g_new = obj_func(x, t, d)
        ls_func_evals += 1
        gtd_new = _dot(g_new, d)
        ls_iter += 1
    if ls_iter == max_ls:
        bracket, bracket_f, bracket_g = [0, t], [f, f_new], [g, g_new]
        bracket_gtd = [gtd, gtd_new]
    insuf_progress = False
    low_pos, high_pos = (0, 1) if bracket_f[0] <= bracket_f[-1] else (1, 0)
    while not done and ls_iter < max_ls:
        if abs(bracket[1] - bracket[0]) * d_norm < tolerance_change:
            break
        t = _cubic_interpolate(bracket[0], bracket_f[0], bracket_gtd[0], bracket[1], bracket_f[1], bracket_gtd[1])
        eps = 0.1 * (max(bracket) - min(bracket))
        if min(max(bracket) - t, t - min(bracket)) < eps:
            if insuf_progress or t >= max(bracket) or t <= min(bracket):
                if abs(t - max(bracket)) < abs(t - min(bracket)):
                    t = max(bracket) - eps
                else:
                    t = min(bracket) + eps
                insuf_progress = False
            else:
                insuf_progress = True
        else:
            insuf_progress = False
        f_new, g_new = obj_func(x, t, d)
        ls_func_evals += 1
        gtd_new = _dot(g_new, d)
        ls_iter += 1
        if f_new > (f + c1 * t * gtd) or f_new >= bracket_f[low_pos]:
            bracket[high_pos], bracket_f[high_pos] = t, f_new
            bracket_g[high_pos], bracket_gtd[high_pos] = g_new.clone(), gtd_new
            low_pos, high_pos = (0, 1) if bracket_f[0] <= bracket_f[1] else (1, 0)
        else:
            if abs(gtd_new) <= -c2 * gtd:
                done = True
            elif gtd_new * (bracket[high_pos] - bracket[low_pos]) >= 0:
                bracket[high_pos], bracket_f[high_pos] = bracket[low_pos], bracket_f[low_pos]
                bracket_g[high_pos], bracket_gtd[high_pos] = bracket_g[low_pos], bracket_gtd[low_pos]
            bracket[low_pos], bracket_f[low_pos] = t, f_new
            bracket_g[low_pos], bracket_gtd[low_pos] = g_new.clone(), gtd_new
    return bracket_f[low_pos], bracket_g[low_pos], bracket[low_pos], ls_func_evals


def _numel(p):
    return math.prod(tuple(p.shape))


class LBFGS(Optimizer):
    """L-BFGS, as torch.optim.LBFGS: one parameter group; step(closure) runs up to max_iter iterations.

    line_search_fn: None (fixed step lr) or "strong_wolfe".
    """

    def __init__(self, params, lr=1, max_iter=20, max_eval=None, tolerance_grad=1e-7, tolerance_change=1e-9,
                 history_size=100, line_search_fn=None, *, maximize=False):
        _validate(lr=lr)
        for name, v in (("max_iter", max_iter), ("history_size", history_size)):
            if isinstance(v, bool) or not isinstance(v, int) or v < 1:
                raise ValueError(f"Invalid {name} value: {v}")
        if max_eval is None:
            max_eval = max_iter * 5 // 4
        _check_number("max_eval", max_eval)
        _check_number("tolerance_grad", tolerance_grad)
        _check_number("tolerance_change", tolerance_change)
        if line_search_fn not in (None, "strong_wolfe"):
            raise RuntimeError("only 'strong_wolfe' is supported")
        defaults = dict(lr=lr, max_iter=max_iter, max_eval=max_eval, tolerance_grad=tolerance_grad,
                        tolerance_change=tolerance_change, history_size=history_size,
                        line_search_fn=line_search_fn, maximize=maximize)
        super().__init__(params, defaults)
        if len(self.param_groups) != 1:
            raise ValueError("LBFGS doesn't support per-parameter options (parameter groups)")
        self._params = self.param_groups[0]["params"]

    def _gather_flat_grad(self):
        views = []
        for p in self._params:
            if p.grad is None:
                views.append(_zel.zeros(_numel(p)))
            else:
                views.append(p.grad.reshape(-1))
        flat = _zel.cat(views, 0)
        return -flat if self.param_groups[0].get("maximize", False) else flat

    def _add_grad(self, step_size, update):
        offset = 0
        for p in self._params:
            numel = _numel(p)
            p.add_(update[offset:offset + numel].reshape(tuple(p.shape)) * step_size)
            offset += numel

    def _clone_param(self):
        return [p.detach().clone() for p in self._params]

    def _set_param(self, params_data):
        for p, pdata in zip(self._params, params_data):
            p.copy_(pdata)

    def _directional_evaluate(self, closure, x, t, d):
        self._add_grad(t, d)
        with _zel.enable_grad():
            loss = float(closure())
        if self.param_groups[0].get("maximize", False):
            loss = -loss
        flat_grad = self._gather_flat_grad()
        self._set_param(x)
        return loss, flat_grad

    def step(self, closure=None):
        """Runs the iterations; closure (required) clears the gradients, computes the loss, backpropagates."""
        if closure is None or not callable(closure):
            raise RuntimeError("LBFGS requires a closure that reevaluates the model and returns the loss")
        group = self.param_groups[0]
        lr, max_iter, max_eval = group["lr"], group["max_iter"], group["max_eval"]
        tolerance_grad, tolerance_change = group["tolerance_grad"], group["tolerance_change"]
        line_search_fn, history_size = group["line_search_fn"], group["history_size"]
        maximize = group.get("maximize", False)
        with _zel.enable_grad():
            orig_loss = closure()
        loss = -float(orig_loss) if maximize else float(orig_loss)
        with _zel.no_grad():
            state = self.state[self._params[0]]
            state.setdefault("func_evals", 0)
            state.setdefault("n_iter", 0)
            current_evals = 1
            state["func_evals"] += 1
            flat_grad = self._gather_flat_grad()
            if float(flat_grad.abs().max()) <= tolerance_grad:
                return orig_loss
            d, t = state.get("d"), state.get("t")
            old_dirs, old_stps, ro = state.get("old_dirs"), state.get("old_stps"), state.get("ro")
            H_diag = state.get("H_diag")
            prev_flat_grad, prev_loss = state.get("prev_flat_grad"), state.get("prev_loss")
            n_iter = 0
            while n_iter < max_iter:
                n_iter += 1
                state["n_iter"] += 1
                if state["n_iter"] == 1:
                    d = -flat_grad
                    old_dirs, old_stps, ro = [], [], []
                    H_diag = _zel.tensor(1.0)
                else:
                    y = flat_grad - prev_flat_grad
                    s = d * t
                    ys = (y * s).sum()
                    if float(ys) > 1e-10:
                        if len(old_dirs) == history_size:
                            old_dirs.pop(0)
                            old_stps.pop(0)
                            ro.pop(0)
                        old_dirs.append(y)
                        old_stps.append(s)
                        ro.append(1.0 / ys)
                        H_diag = ys / (y * y).sum()
                    num_old = len(old_dirs)
                    # PyTorch allocates history_size slots at once; these grow with the history.
                    al = state.setdefault("al", [])
                    al.extend([None] * (num_old - len(al)))
                    q = -flat_grad
                    for i in range(num_old - 1, -1, -1):
                        al[i] = (old_stps[i] * q).sum() * ro[i]
                        q = q - old_dirs[i] * al[i]
                    d = r = q * H_diag
                    for i in range(num_old):
                        be_i = (old_dirs[i] * r).sum() * ro[i]
                        r = r + old_stps[i] * (al[i] - be_i)
                    d = r
                prev_flat_grad = flat_grad.clone()
                prev_loss = loss
                if state["n_iter"] == 1:
                    inv = 1.0 / flat_grad.abs().sum()
                    t = (inv if float(inv) < 1.0 else _zel.tensor(1.0)) * lr
                else:
                    t = _scalar(lr)
                gtd = _dot(flat_grad, d)
                if gtd > -tolerance_change:
                    break
                ls_func_evals = 0
                if line_search_fn is not None:
                    x_init = self._clone_param()

                    def obj_func(x, step, direction):
                        return self._directional_evaluate(closure, x, step, direction)

                    bound = {"max_ls": max_eval - current_evals} if _bounded_line_search() else {}
                    loss, flat_grad, t, ls_func_evals = _strong_wolfe(obj_func, x_init, t, d, loss, flat_grad, gtd,
                                                                      **bound)
                    t = _scalar(t)
                    self._add_grad(t, d)
                    opt_cond = float(flat_grad.abs().max()) <= tolerance_grad
                else:
                    self._add_grad(t, d)
                    opt_cond = False
                    if n_iter != max_iter:
                        with _zel.enable_grad():
                            loss = float(closure())
                        loss = -loss if maximize else loss
                        flat_grad = self._gather_flat_grad()
                        opt_cond = float(flat_grad.abs().max()) <= tolerance_grad
                        ls_func_evals = 1
                current_evals += ls_func_evals
                state["func_evals"] += ls_func_evals
                if n_iter == max_iter or current_evals >= max_eval or opt_cond:
                    break
                if float((d * t).abs().max()) <= tolerance_change:
                    break
                if abs(loss - prev_loss) < tolerance_change:
                    break
            state.update(d=d, t=t, old_dirs=old_dirs, old_stps=old_stps, ro=ro, H_diag=H_diag,
                         prev_flat_grad=prev_flat_grad, prev_loss=prev_loss)
        return orig_loss


# Learning-rate schedulers: Python-number learning rates, as PyTorch's.

class _LRScheduler:
    """Base of the epoch schedulers (torch.optim.lr_scheduler._LRScheduler)."""

    def __init__(self, optimizer, last_epoch=-1, verbose=False):
        if not isinstance(optimizer, Optimizer):
            raise TypeError(f"{type(optimizer).__name__} is not an Optimizer")
        self.optimizer = optimizer
        if last_epoch == -1:
            for group in optimizer.param_groups:
                group.setdefault("initial_lr", group["lr"])
        else:
            for i, group in enumerate(optimizer.param_groups):
                if "initial_lr" not in group:
                    raise KeyError(f"param 'initial_lr' is not specified in param_groups[{i}] "
                                   "when resuming an optimizer")
        self.base_lrs = [group["initial_lr"] for group in optimizer.param_groups]
        self.last_epoch = last_epoch
        self.verbose = verbose
        self._step_count = 0
        self.step()

    def state_dict(self):
        """Every attribute but the optimizer."""
        return {key: value for key, value in self.__dict__.items() if key != "optimizer"}

    def load_state_dict(self, state_dict):
        self.__dict__.update(state_dict)

    def get_last_lr(self):
        """The learning rates the last step() set."""
        return self._last_lr

    def get_lr(self):
        raise NotImplementedError

    def step(self, epoch=None):
        """Advances one epoch (or sets it, deprecated as in PyTorch) and sets the groups' lr."""
        self._step_count += 1
        if epoch is None:
            self.last_epoch += 1
            values = self.get_lr()
        else:
            warnings.warn("The epoch parameter in `scheduler.step()` was not necessary and is being "
                          "deprecated where possible.", UserWarning)
            self.last_epoch = epoch
            values = self._get_closed_form_lr() if hasattr(self, "_get_closed_form_lr") else self.get_lr()
        for group, lr in zip(self.optimizer.param_groups, values):
            group["lr"] = lr
        self._last_lr = [group["lr"] for group in self.optimizer.param_groups]


LRScheduler = _LRScheduler


class StepLR(_LRScheduler):
    """Multiplies the lr by gamma every step_size epochs."""

    def __init__(self, optimizer, step_size, gamma=0.1, last_epoch=-1, verbose=False):
        self.step_size = step_size
        self.gamma = gamma
        super().__init__(optimizer, last_epoch, verbose)

    def get_lr(self):
        if self.last_epoch == 0 or self.last_epoch % self.step_size != 0:
            return [group["lr"] for group in self.optimizer.param_groups]
        return [group["lr"] * self.gamma for group in self.optimizer.param_groups]

    def _get_closed_form_lr(self):
        return [base_lr * self.gamma ** (self.last_epoch // self.step_size) for base_lr in self.base_lrs]


class MultiStepLR(_LRScheduler):
    """Multiplies the lr by gamma at each milestone epoch."""

    def __init__(self, optimizer, milestones, gamma=0.1, last_epoch=-1, verbose=False):
        self.milestones = Counter(milestones)
        self.gamma = gamma
        super().__init__(optimizer, last_epoch, verbose)

    def get_lr(self):
        if self.last_epoch not in self.milestones:
            return [group["lr"] for group in self.optimizer.param_groups]
        return [group["lr"] * self.gamma ** self.milestones[self.last_epoch]
                for group in self.optimizer.param_groups]


class ExponentialLR(_LRScheduler):
    """Multiplies the lr by gamma every epoch."""

    def __init__(self, optimizer, gamma, last_epoch=-1, verbose=False):
        self.gamma = gamma
        super().__init__(optimizer, last_epoch, verbose)

    def get_lr(self):
        if self.last_epoch == 0:
            return [group["lr"] for group in self.optimizer.param_groups]
        return [group["lr"] * self.gamma for group in self.optimizer.param_groups]


class CosineAnnealingLR(_LRScheduler):
    """Cosine annealing from the base lr to eta_min over T_max epochs (PyTorch's recursive form)."""

    def __init__(self, optimizer, T_max, eta_min=0, last_epoch=-1, verbose=False):
        self.T_max = T_max
        self.eta_min = eta_min
        super().__init__(optimizer, last_epoch, verbose)

    def get_lr(self):
        groups = self.optimizer.param_groups
        if self.last_epoch == 0:
            return [group["lr"] for group in groups]
        if self._step_count == 1 and self.last_epoch > 0:
            return [self.eta_min + (base_lr - self.eta_min) * (1 + math.cos(self.last_epoch * math.pi / self.T_max)) / 2
                    for base_lr in self.base_lrs]
        if (self.last_epoch - 1 - self.T_max) % (2 * self.T_max) == 0:
            return [group["lr"] + (base_lr - self.eta_min) * (1 - math.cos(math.pi / self.T_max)) / 2
                    for base_lr, group in zip(self.base_lrs, groups)]
        return [(1 + math.cos(math.pi * self.last_epoch / self.T_max))
                / (1 + math.cos(math.pi * (self.last_epoch - 1) / self.T_max))
                * (group["lr"] - self.eta_min) + self.eta_min for group in groups]


class LambdaLR(_LRScheduler):
    """lr = base lr * lr_lambda(epoch); one function or one per group."""

    def __init__(self, optimizer, lr_lambda, last_epoch=-1, verbose=False):
        if not isinstance(lr_lambda, (list, tuple)):
            self.lr_lambdas = [lr_lambda] * len(optimizer.param_groups)
        else:
            if len(lr_lambda) != len(optimizer.param_groups):
                raise ValueError(f"Expected {len(optimizer.param_groups)} lr_lambdas, but got {len(lr_lambda)}")
            self.lr_lambdas = list(lr_lambda)
        super().__init__(optimizer, last_epoch, verbose)

    def state_dict(self):
        """As PyTorch: functions are left out, callable objects kept by their __dict__."""
        state = {key: value for key, value in self.__dict__.items() if key not in ("optimizer", "lr_lambdas")}
        state["lr_lambdas"] = [None] * len(self.lr_lambdas)
        for idx, fn in enumerate(self.lr_lambdas):
            if not isinstance(fn, types.FunctionType):
                state["lr_lambdas"][idx] = fn.__dict__.copy()
        return state

    def load_state_dict(self, state_dict):
        state_dict = dict(state_dict)
        lr_lambdas = state_dict.pop("lr_lambdas")
        self.__dict__.update(state_dict)
        state_dict["lr_lambdas"] = lr_lambdas
        for idx, fn in enumerate(lr_lambdas):
            if fn is not None:
                self.lr_lambdas[idx].__dict__.update(fn)

    def get_lr(self):
        return [base_lr * lmbda(self.last_epoch) for lmbda, base_lr in zip(self.lr_lambdas, self.base_lrs)]


class LinearLR(_LRScheduler):
    """Scales the lr linearly from start_factor to end_factor over total_iters epochs."""

    def __init__(self, optimizer, start_factor=1.0 / 3, end_factor=1.0, total_iters=5, last_epoch=-1,
                 verbose=False):
        # 0 is refused as in PyTorch 2 (1.x accepts it, then divides by zero); the message is the installed one's.
        if start_factor > 1.0 or start_factor <= 0:
            raise ValueError("Starting multiplicative factor expected to be between 0 and 1."
                             if _legacy_linear_lr_message() else
                             "Starting multiplicative factor expected to be greater than 0 and less or equal to 1.")
        if end_factor > 1.0 or end_factor < 0:
            raise ValueError("Ending multiplicative factor expected to be between 0 and 1.")
        self.start_factor = start_factor
        self.end_factor = end_factor
        self.total_iters = total_iters
        super().__init__(optimizer, last_epoch, verbose)

    def get_lr(self):
        groups = self.optimizer.param_groups
        if self.last_epoch == 0:
            return [group["lr"] * self.start_factor for group in groups]
        if self.last_epoch > self.total_iters:
            return [group["lr"] for group in groups]
        return [group["lr"] * (1.0 + (self.end_factor - self.start_factor)
                               / (self.total_iters * self.start_factor
                                  + (self.last_epoch - 1) * (self.end_factor - self.start_factor)))
                for group in groups]


class OneCycleLR(_LRScheduler):
    """The 1cycle policy: lr (and momentum) annealed up to max_lr and down to a minimum."""

    def __init__(self, optimizer, max_lr, total_steps=None, epochs=None, steps_per_epoch=None, pct_start=0.3,
                 anneal_strategy="cos", cycle_momentum=True, base_momentum=0.85, max_momentum=0.95,
                 div_factor=25.0, final_div_factor=1e4, three_phase=False, last_epoch=-1, verbose=False):
        if not isinstance(optimizer, Optimizer):
            raise TypeError(f"{type(optimizer).__name__} is not an Optimizer")
        self.optimizer = optimizer
        if total_steps is None and epochs is None and steps_per_epoch is None:
            raise ValueError("You must define either total_steps OR (epochs AND steps_per_epoch)")
        if total_steps is not None:
            if not isinstance(total_steps, int) or total_steps <= 0:
                raise ValueError(f"Expected positive integer total_steps, but got {total_steps}")
            self.total_steps = total_steps
        else:
            if not isinstance(epochs, int) or epochs <= 0:
                raise ValueError(f"Expected positive integer epochs, but got {epochs}")
            if not isinstance(steps_per_epoch, int) or steps_per_epoch <= 0:
                raise ValueError(f"Expected positive integer steps_per_epoch, but got {steps_per_epoch}")
            self.total_steps = epochs * steps_per_epoch
        if not isinstance(pct_start, float) or pct_start < 0 or pct_start > 1:
            raise ValueError(f"Expected float between 0 and 1 pct_start, but got {pct_start}")
        if three_phase:
            self._schedule_phases = [
                dict(end_step=float(pct_start * self.total_steps) - 1, start_lr="initial_lr", end_lr="max_lr",
                     start_momentum="max_momentum", end_momentum="base_momentum"),
                dict(end_step=float(2 * pct_start * self.total_steps) - 2, start_lr="max_lr", end_lr="initial_lr",
                     start_momentum="base_momentum", end_momentum="max_momentum"),
                dict(end_step=self.total_steps - 1, start_lr="initial_lr", end_lr="min_lr",
                     start_momentum="max_momentum", end_momentum="max_momentum")]
        else:
            self._schedule_phases = [
                dict(end_step=float(pct_start * self.total_steps) - 1, start_lr="initial_lr", end_lr="max_lr",
                     start_momentum="max_momentum", end_momentum="base_momentum"),
                dict(end_step=self.total_steps - 1, start_lr="max_lr", end_lr="min_lr",
                     start_momentum="base_momentum", end_momentum="max_momentum")]
        if anneal_strategy not in ("cos", "linear"):
            raise ValueError(f"anneal_strategy must by one of 'cos' or 'linear', instead got {anneal_strategy}")
        self.anneal_strategy = anneal_strategy
        max_lrs = self._format_param("max_lr", optimizer, max_lr)
        if last_epoch == -1:
            for idx, group in enumerate(optimizer.param_groups):
                group["initial_lr"] = max_lrs[idx] / div_factor
                group["max_lr"] = max_lrs[idx]
                group["min_lr"] = group["initial_lr"] / final_div_factor
        self.cycle_momentum = cycle_momentum
        if cycle_momentum:
            if "momentum" not in optimizer.defaults and "betas" not in optimizer.defaults:
                raise ValueError("optimizer must support momentum with `cycle_momentum` option enabled")
            self.use_beta1 = "betas" in optimizer.defaults
            max_momentums = self._format_param("max_momentum", optimizer, max_momentum)
            base_momentums = self._format_param("base_momentum", optimizer, base_momentum)
            if last_epoch == -1:
                for m_momentum, b_momentum, group in zip(max_momentums, base_momentums, optimizer.param_groups):
                    if self.use_beta1:
                        group["betas"] = (m_momentum, *group["betas"][1:])
                    else:
                        group["momentum"] = m_momentum
                    group["max_momentum"] = m_momentum
                    group["base_momentum"] = b_momentum
        super().__init__(optimizer, last_epoch, verbose)

    @staticmethod
    def _format_param(name, optimizer, param):
        if isinstance(param, (list, tuple)):
            if len(param) != len(optimizer.param_groups):
                if _legacy_param_length_message():
                    raise ValueError(f"expected {len(optimizer.param_groups)} values for {name}, got {len(param)}")
                raise ValueError(f"{name} must have the same length as optimizer.param_groups. {name} has "
                                 f"{len(param)} values, param_groups has {len(optimizer.param_groups)}.")
            return param
        return [param] * len(optimizer.param_groups)

    def _anneal(self, start, end, pct):
        if self.anneal_strategy == "cos":
            return end + (start - end) / 2.0 * (math.cos(math.pi * pct) + 1)
        return (end - start) * pct + start

    def get_lr(self):
        lrs = []
        step_num = self.last_epoch
        if step_num > self.total_steps:
            raise ValueError(f"Tried to step {step_num + 1} times. The number of total steps set is "
                             f"{self.total_steps}")
        for group in self.optimizer.param_groups:
            start_step = 0
            for i, phase in enumerate(self._schedule_phases):
                end_step = phase["end_step"]
                if step_num <= end_step or i == len(self._schedule_phases) - 1:
                    pct = (step_num - start_step) / (end_step - start_step)
                    computed_lr = self._anneal(group[phase["start_lr"]], group[phase["end_lr"]], pct)
                    if self.cycle_momentum:
                        computed_momentum = self._anneal(group[phase["start_momentum"]],
                                                         group[phase["end_momentum"]], pct)
                    break
                start_step = phase["end_step"]
            lrs.append(computed_lr)
            if self.cycle_momentum:
                if self.use_beta1:
                    group["betas"] = (computed_momentum, *group["betas"][1:])
                else:
                    group["momentum"] = computed_momentum
        return lrs


class ReduceLROnPlateau:
    """Reduces the lr by factor when a metric has stopped improving for patience epochs."""

    def __init__(self, optimizer, mode="min", factor=0.1, patience=10, threshold=1e-4, threshold_mode="rel",
                 cooldown=0, min_lr=0, eps=1e-8, verbose=False):
        if factor >= 1.0:
            raise ValueError("Factor should be < 1.0.")
        self.factor = factor
        if not isinstance(optimizer, Optimizer):
            raise TypeError(f"{type(optimizer).__name__} is not an Optimizer")
        self.optimizer = optimizer
        if isinstance(min_lr, (list, tuple)):
            if len(min_lr) != len(optimizer.param_groups):
                raise ValueError(f"expected {len(optimizer.param_groups)} min_lrs, got {len(min_lr)}")
            self.min_lrs = list(min_lr)
        else:
            self.min_lrs = [min_lr] * len(optimizer.param_groups)
        self.patience = patience
        self.verbose = verbose
        self.cooldown = cooldown
        self.cooldown_counter = 0
        self.eps = eps
        self.last_epoch = 0
        self._init_is_better(mode, threshold, threshold_mode)
        self._reset()
        self._last_lr = [group["lr"] for group in optimizer.param_groups]

    def _reset(self):
        self.best = self.mode_worse
        self.cooldown_counter = 0
        self.num_bad_epochs = 0

    def step(self, metrics, epoch=None):
        """Records the metric (a number or a 0-d tensor) and reduces the lr if it has stalled."""
        current = float(metrics)
        if epoch is None:
            epoch = self.last_epoch + 1
        else:
            warnings.warn("The epoch parameter in `scheduler.step()` was not necessary and is being "
                          "deprecated where possible.", UserWarning)
        self.last_epoch = epoch
        if self.is_better(current, self.best):
            self.best = current
            self.num_bad_epochs = 0
        else:
            self.num_bad_epochs += 1
        if self.in_cooldown:
            self.cooldown_counter -= 1
            self.num_bad_epochs = 0
        if self.num_bad_epochs > self.patience:
            for i, group in enumerate(self.optimizer.param_groups):
                old_lr = float(group["lr"])
                new_lr = max(old_lr * self.factor, self.min_lrs[i])
                if old_lr - new_lr > self.eps:
                    group["lr"] = new_lr
            self.cooldown_counter = self.cooldown
            self.num_bad_epochs = 0
        self._last_lr = [group["lr"] for group in self.optimizer.param_groups]

    def get_last_lr(self):
        return self._last_lr

    @property
    def in_cooldown(self):
        return self.cooldown_counter > 0

    def is_better(self, a, best):
        if self.mode == "min" and self.threshold_mode == "rel":
            return a < best * (1.0 - self.threshold)
        if self.mode == "min" and self.threshold_mode == "abs":
            return a < best - self.threshold
        if self.mode == "max" and self.threshold_mode == "rel":
            return a > best * (self.threshold + 1.0)
        return a > best + self.threshold

    def _init_is_better(self, mode, threshold, threshold_mode):
        if mode not in {"min", "max"}:
            raise ValueError("mode " + str(mode) + " is unknown!")
        if threshold_mode not in {"rel", "abs"}:
            raise ValueError("threshold mode " + str(threshold_mode) + " is unknown!")
        self.mode_worse = math.inf if mode == "min" else -math.inf
        self.mode = mode
        self.threshold = threshold
        self.threshold_mode = threshold_mode

    def state_dict(self):
        return {key: value for key, value in self.__dict__.items() if key != "optimizer"}

    def load_state_dict(self, state_dict):
        self.__dict__.update(state_dict)
        self._init_is_better(self.mode, self.threshold, self.threshold_mode)


_OPTIMIZERS = ["Optimizer", "SGD", "Adam", "AdamW", "RMSprop", "Adagrad", "Adadelta", "Adamax", "NAdam", "RAdam",
               "LBFGS"]
_SCHEDULERS = ["LRScheduler", "StepLR", "MultiStepLR", "ExponentialLR", "CosineAnnealingLR", "LambdaLR", "LinearLR",
               "OneCycleLR", "ReduceLROnPlateau"]


def install(zel):
    """Adds zel.optim and zel.optim.lr_scheduler to varnel.zel.zel."""
    import sys
    global _zel
    _zel = zel
    optim = types.ModuleType(zel.__name__ + ".optim", "torch.optim subset: optimizers and lr schedulers.")
    for name in _OPTIMIZERS:
        setattr(optim, name, globals()[name])
    sched = types.ModuleType(optim.__name__ + ".lr_scheduler", "torch.optim.lr_scheduler subset.")
    for name in _SCHEDULERS:
        setattr(sched, name, globals()[name])
    sched._LRScheduler = _LRScheduler
    optim.lr_scheduler = sched
    optim.__all__ = list(_OPTIMIZERS) + ["lr_scheduler"]
    sched.__all__ = list(_SCHEDULERS)
    zel.optim = optim
    for mod in (optim, sched):
        sys.modules[mod.__name__] = mod
