"""zel.optim and zel.optim.lr_scheduler against torch.optim in float64, step by step."""
import math
from fractions import Fraction

import pytest
import torch

from varnel.zel import zel

STEPS = 20


def value(t):
    """float64 values of a library tensor (its limbs summed)."""
    return t._data.sum(dim=1).reshape(tuple(t.shape))


def exact(t):
    """The exact values of a library tensor's elements, as Fractions."""
    return [sum(Fraction(v) for v in row) for row in t._data.tolist()]


# Each problem: initial parameter values and a loss written with operations both libraries share.
A_ROWS = [[1.0, 2.0, 0.5], [0.3, -1.0, 2.0], [2.0, 0.1, -0.7], [-1.5, 0.4, 1.0], [0.2, 0.9, 0.3], [1.1, -0.6, 0.8]]
B_VEC = [1.0, -2.0, 0.5, 3.0, 0.25, -1.0]


def const(lib, v):
    return torch.tensor(v, dtype=torch.float64) if lib is torch else zel.tensor(v)


def quadratic(lib, ps):
    x, y = ps
    c = const(lib, [1.0, 3.0, 0.5])
    return (c * (x - 0.7) * (x - 0.7)).sum() + (y * y * 2.5 - y).sum()


def rosenbrock(lib, ps):
    (x,) = ps
    return (1 - x[0]) * (1 - x[0]) + 100 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0])


def least_squares(lib, ps):
    (w,) = ps
    r = const(lib, A_ROWS) @ w - const(lib, B_VEC)
    return (r * r).sum()


PROBLEMS = {
    "quadratic": (quadratic, [[0.3, -1.2, 2.0], [[0.5, -0.25], [1.5, 0.1]]]),
    "rosenbrock": (rosenbrock, [[-1.2, 1.0]]),
    "least_squares": (least_squares, [[0.1, 0.2, -0.3]]),
}


def run_both(opt_name, kwargs, problem, steps=STEPS, groups=False, closure=False):
    """Steps both libraries' optimizers; yields (step, ours, theirs) parameter values and losses."""
    fn, init = PROBLEMS[problem]
    ps_z = [zel.tensor(v, requires_grad=True) for v in init]
    ps_t = [torch.tensor(v, dtype=torch.float64, requires_grad=True) for v in init]
    if groups and len(init) > 1:
        params_z = [{"params": [ps_z[0]]}, {"params": ps_z[1:], "lr": kwargs.get("lr", 0.01) / 2}]
        params_t = [{"params": [ps_t[0]]}, {"params": ps_t[1:], "lr": kwargs.get("lr", 0.01) / 2}]
    else:
        params_z, params_t = ps_z, ps_t
    if problem == "rosenbrock" and "lr" in kwargs and not closure:
        kwargs = dict(kwargs, lr=kwargs["lr"] / 10)  # its gradients are a hundred times larger
    opt_z = getattr(zel.optim, opt_name)(params_z, **kwargs)
    opt_t = getattr(torch.optim, opt_name)(params_t, **kwargs)
    if opt_name == "NAdam":
        # PyTorch keeps mu_product in float32 whatever the parameters' dtype:
        # the float64 reference gets a float64 one.
        for p in ps_t:
            opt_t.state[p] = {"step": torch.tensor(0.0), "mu_product": torch.ones((), dtype=torch.float64),
                              "exp_avg": torch.zeros_like(p), "exp_avg_sq": torch.zeros_like(p)}

    def closure_of(lib, opt, ps):
        def c():
            opt.zero_grad()
            loss = fn(lib, ps)
            loss.backward()
            return loss
        return c

    for k in range(steps):
        if closure:
            lz = opt_z.step(closure_of(zel, opt_z, ps_z))
            lt = opt_t.step(closure_of(torch, opt_t, ps_t))
        else:
            lz = closure_of(zel, opt_z, ps_z)()
            opt_z.step()
            lt = closure_of(torch, opt_t, ps_t)()
            opt_t.step()
        yield k, ps_z, ps_t, float(lz), float(lt), opt_z


def assert_close(ps_z, ps_t, rtol, where):
    for z, t in zip(ps_z, ps_t):
        ours, theirs = value(z), t.detach()
        scale = theirs.abs().max().clamp(min=1e-300)
        err = ((ours - theirs).abs().max() / scale).item()
        assert err <= rtol, f"{where}: relative difference {err:.3e}\nours   {ours}\ntheirs {theirs}"


CASES = [
    ("SGD", dict(lr=0.01)),
    ("SGD", dict(lr=0.01, momentum=0.9)),
    ("SGD", dict(lr=0.01, momentum=0.9, nesterov=True, weight_decay=0.1)),
    ("SGD", dict(lr=0.0005, momentum=0.5, dampening=0.3, maximize=True)),
    ("Adam", dict(lr=0.05)),
    ("Adam", dict(lr=0.05, amsgrad=True, weight_decay=0.01)),
    ("Adam", dict(lr=0.05, maximize=True, betas=(0.8, 0.99))),
    ("AdamW", dict(lr=0.05)),
    ("AdamW", dict(lr=0.05, amsgrad=True, weight_decay=0.1)),
    ("RMSprop", dict(lr=0.01)),
    ("RMSprop", dict(lr=0.01, centered=True, momentum=0.9, weight_decay=0.01)),
    ("RMSprop", dict(lr=0.01, momentum=0.5, maximize=True)),
    ("Adagrad", dict(lr=0.1)),
    ("Adagrad", dict(lr=0.1, lr_decay=0.01, weight_decay=0.05, initial_accumulator_value=0.1)),
    ("Adadelta", dict()),
    ("Adadelta", dict(lr=0.5, rho=0.8, weight_decay=0.01)),
    ("Adamax", dict(lr=0.05)),
    ("Adamax", dict(lr=0.05, weight_decay=0.02)),
    ("NAdam", dict(lr=0.05)),
    ("NAdam", dict(lr=0.05, weight_decay=0.01, momentum_decay=0.01)),
    ("RAdam", dict(lr=0.05)),
    ("RAdam", dict(lr=0.05, weight_decay=0.01, betas=(0.9, 0.9))),
]


@pytest.mark.parametrize("problem", sorted(PROBLEMS))
@pytest.mark.parametrize("opt_name,kwargs", CASES, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CASES)])
def test_every_step_follows_torch_float64(opt_name, kwargs, problem):
    groups = problem == "quadratic"
    for k, ps_z, ps_t, lz, lt, _ in run_both(opt_name, kwargs, problem, groups=groups):
        assert_close(ps_z, ps_t, 1e-12, f"{opt_name} {kwargs} {problem} step {k}")
        assert math.isclose(lz, lt, rel_tol=1e-12, abs_tol=1e-300)


@pytest.mark.parametrize("problem", sorted(PROBLEMS))
@pytest.mark.parametrize("kwargs", [dict(), dict(line_search_fn="strong_wolfe"),
                                    dict(history_size=3, max_iter=4, lr=0.5),
                                    dict(line_search_fn="strong_wolfe", history_size=2, max_iter=3)])
def test_lbfgs_follows_torch_float64(kwargs, problem):
    # Each step runs up to max_iter iterations; the line search's branches all
    # show up on Rosenbrock. Agreement decays with the iterations, so a few steps.
    steps = 2 if problem == "rosenbrock" else 5
    for k, ps_z, ps_t, lz, lt, opt in run_both("LBFGS", kwargs, problem, steps=steps, closure=True):
        assert_close(ps_z, ps_t, 1e-9, f"LBFGS {kwargs} {problem} step {k}")
        assert opt.state[ps_z[0]]["func_evals"] > 0


@pytest.mark.parametrize("problem", sorted(PROBLEMS))
@pytest.mark.parametrize("kwargs", [dict(max_iter=1), dict(max_iter=1, line_search_fn="strong_wolfe"),
                                    dict(max_iter=1, lr=0.1, history_size=4)])
def test_lbfgs_iteration_by_iteration_for_20_steps(kwargs, problem):
    # One iteration a step: 20 steps at float64's agreement (Rosenbrock's valley
    # grows PyTorch's own rounding to about 2e-12).
    rtol = 1e-11 if problem == "rosenbrock" else 1e-13
    for k, ps_z, ps_t, lz, lt, opt in run_both("LBFGS", kwargs, problem, closure=True):
        assert_close(ps_z, ps_t, rtol, f"LBFGS {kwargs} {problem} step {k}")
        assert math.isclose(lz, lt, rel_tol=rtol)


def test_lbfgs_strong_wolfe_finds_the_rosenbrock_minimiser_to_28_digits():
    x = zel.tensor([-1.2, 1.0], requires_grad=True)
    opt = zel.optim.LBFGS([x], line_search_fn="strong_wolfe", tolerance_grad=1e-60, tolerance_change=1e-90,
                          max_iter=200, max_eval=400)

    def closure():
        opt.zero_grad()
        loss = rosenbrock(zel, [x])
        loss.backward()
        return loss
    for _ in range(3):
        opt.step(closure)
    err = max(abs(v - 1) for v in exact(x.detach()))
    assert err < Fraction(1, 10 ** 28), float(err)


@pytest.mark.parametrize("line_search_fn", [None, "strong_wolfe"])
def test_lbfgs_maximize_climbs_the_negated_loss_along_the_same_path(line_search_fn):
    paths = []
    for maximize in (False, True):
        x = zel.tensor([-1.2, 1.0], requires_grad=True)
        opt = zel.optim.LBFGS([x], lr=0.5, max_iter=5, line_search_fn=line_search_fn, maximize=maximize)

        def closure():
            opt.zero_grad()
            loss = rosenbrock(zel, [x]) * (-1.0 if maximize else 1.0)
            loss.backward()
            return loss
        for _ in range(3):
            opt.step(closure)
        paths.append(x.detach()._data.clone())
    assert torch.equal(paths[0], paths[1])


def test_linear_least_squares_beyond_float64():
    # The normal equations' exact solution, in Fractions.
    A = [[Fraction(v) for v in row] for row in A_ROWS]
    b = [Fraction(v) for v in B_VEC]
    n = 3
    rows = range(len(A))
    M = [[sum(A[k][i] * A[k][j] for k in rows) for j in range(n)] + [sum(A[k][i] * b[k] for k in rows)]
         for i in range(n)]
    for i in range(n):
        for r in range(n):
            if r != i:
                f = M[r][i] / M[i][i]
                M[r] = [a - f * c for a, c in zip(M[r], M[i])]
    solution = [M[i][n] / M[i][i] for i in range(n)]
    results = {}
    # Adam with eps=0: any eps > 0 stops it where the gradient's scale meets eps.
    for name, kwargs, steps in (("SGD", dict(lr=0.06, momentum=0.05), 120), ("Adam", dict(lr=0.01, eps=0.0), 1500)):
        w = zel.tensor([0.0, 0.0, 0.0], requires_grad=True)
        opt = getattr(zel.optim, name)([w], **kwargs)
        A_z, b_z = zel.tensor(A_ROWS), zel.tensor(B_VEC)
        for _ in range(steps):
            opt.zero_grad()
            r = A_z @ w - b_z
            (r * r).sum().backward()
            opt.step()
        results[name] = max(abs(v - s) for v, s in zip(exact(w.detach()), solution))
    # float64 stops near 1e-16; both go far beyond.
    # Reached: about 5e-33 (SGD) and 1e-30 (Adam).
    assert results["SGD"] < Fraction(1, 10 ** 30), float(results["SGD"])
    assert results["Adam"] < Fraction(1, 10 ** 27), float(results["Adam"])


def teacher_student_mlp(lib, pert=0.1):
    """A 2-2-1 tanh network started near the one that made its targets: the least loss is 0."""
    g = torch.Generator().manual_seed(1)
    teacher = [torch.randn(2, 2, generator=g, dtype=torch.float64), torch.randn(2, generator=g, dtype=torch.float64) * 0.5,
               torch.randn(1, 2, generator=g, dtype=torch.float64), torch.randn(1, generator=g, dtype=torch.float64)]
    start = [t + pert * torch.randn(t.shape, generator=g, dtype=torch.float64) for t in teacher]
    s = torch.linspace(-2.0, 2.0, 8, dtype=torch.float64)
    grid = torch.cartesian_prod(s, s)

    def net(ps, x):
        return lib.tanh(x @ ps[0].T + ps[1]) @ ps[2].T + ps[3]
    mk = (lambda t: t.clone()) if lib is torch else (lambda t: zel.tensor(t.tolist()))
    x = mk(grid)
    with torch.no_grad(), zel.no_grad():
        y = net([mk(t) for t in teacher], x)
    ps = [mk(t).requires_grad_(True) for t in start]
    return ps, lambda: ((net(ps, x) - y) ** 2).mean()


def test_lbfgs_fits_a_tanh_network_far_below_float64s_floor():
    losses = {}
    for lib in (torch, zel):
        ps, loss_fn = teacher_student_mlp(lib)
        opt = lib.optim.LBFGS(ps, history_size=20, max_iter=100, max_eval=200, tolerance_grad=1e-80,
                              tolerance_change=1e-120)

        def closure():
            opt.zero_grad()
            loss = loss_fn()
            loss.backward()
            return loss
        for _ in range(3):
            opt.step(closure)
        with torch.no_grad(), zel.no_grad():
            losses[lib] = float(loss_fn())
    # float64 stalls where the residuals are rounding, near 1e-32; the limbs go on to about 1e-63.
    assert losses[torch] > 1e-40, losses
    assert losses[zel] < 1e-55, losses


def test_state_dict_round_trips_the_limbs_and_resumes_identically():
    def make():
        x = zel.tensor([0.3, -1.2, 2.0], requires_grad=True)
        y = zel.tensor([[0.5, -0.25], [1.5, 0.1]], requires_grad=True)
        return [x, y]

    def steps(opt, ps, n):
        for _ in range(n):
            opt.zero_grad()
            quadratic(zel, ps).backward()
            opt.step()
    for name, kwargs in (("Adam", dict(lr=0.05, amsgrad=True)), ("SGD", dict(lr=0.01, momentum=0.9)),
                         ("RMSprop", dict(centered=True, momentum=0.5)), ("NAdam", {}), ("Adagrad", {})):
        ps = make()
        opt = getattr(zel.optim, name)(ps, **kwargs)
        steps(opt, ps, 3)
        sd = opt.state_dict()
        ps2 = [p.detach().clone().requires_grad_(True) for p in ps]
        opt2 = getattr(zel.optim, name)(ps2, **kwargs)
        opt2.load_state_dict(sd)
        sd2 = opt2.state_dict()
        assert sd2["param_groups"] == sd["param_groups"]
        for i, st in sd["state"].items():
            for key, v in st.items():
                if isinstance(v, zel.Tensor):
                    assert torch.equal(sd2["state"][i][key]._data, v._data), (name, key)
                    assert sd2["state"][i][key] is not v  # loaded as a copy
                else:
                    assert sd2["state"][i][key] == v
        steps(opt, ps, 2)
        steps(opt2, ps2, 2)
        for a, b in zip(ps, ps2):
            assert torch.equal(a._data, b._data), name


def test_optimizer_contract():
    x = zel.tensor([1.0, 2.0], requires_grad=True)
    y = zel.tensor([3.0], requires_grad=True)
    opt = zel.optim.SGD([x], lr=0.1, momentum=0.9)
    assert opt.defaults["lr"] == 0.1 and opt.param_groups[0]["params"][0] is x
    opt.add_param_group({"params": y, "lr": 0.5})
    assert opt.param_groups[1]["lr"] == 0.5 and opt.param_groups[1]["momentum"] == 0.9
    with pytest.raises(ValueError, match="more than one parameter group"):
        opt.add_param_group({"params": [x]})
    (x * x).sum().backward()
    held = x.grad
    opt.zero_grad(set_to_none=False)
    assert x.grad is held and float(held.abs().sum()) == 0.0  # zeroed in place
    opt.zero_grad()
    assert x.grad is None
    # A closure's loss comes back; parameters without grad are skipped.
    def closure():
        opt.zero_grad()
        loss = (x * x).sum()
        loss.backward()
        return loss
    assert float(opt.step(closure)) == 5.0
    assert value(y).tolist() == [3.0]
    assert 0 in opt.state_dict()["state"] and 1 not in opt.state_dict()["state"]
    other = zel.optim.SGD([x], lr=0.1)
    with pytest.raises(ValueError, match="different number of parameter groups"):
        other.load_state_dict(opt.state_dict())
    with pytest.raises(ValueError, match="doesn't match the size"):
        zel.optim.SGD([{"params": [x, y]}, {"params": [zel.tensor(1.0, requires_grad=True)]}],
                      lr=0.1).load_state_dict(opt.state_dict())


VALIDATION = [
    ("SGD", dict(lr=-1.0)), ("SGD", dict(lr=0.1, momentum=-0.5)), ("SGD", dict(lr=0.1, weight_decay=-1)),
    ("SGD", dict(lr=0.1, nesterov=True)), ("Adam", dict(eps=-1e-8)),
    ("Adam", dict(betas=(1.0, 0.999))), ("AdamW", dict(betas=(0.9, -0.1))), ("AdamW", dict(weight_decay=-0.5)),
    ("RMSprop", dict(alpha=-0.1)), ("RMSprop", dict(momentum=-1.0)), ("Adagrad", dict(lr_decay=-1.0)),
    ("Adagrad", dict(initial_accumulator_value=-1.0)), ("Adadelta", dict(rho=1.5)), ("Adamax", dict(eps=-1.0)),
    ("NAdam", dict(momentum_decay=-1.0)), ("RAdam", dict(lr=-0.5)),
]


@pytest.mark.parametrize("name,kwargs", VALIDATION, ids=[f"{n}-{i}" for i, (n, _) in enumerate(VALIDATION)])
def test_validation_errors_are_pytorchs(name, kwargs):
    with pytest.raises(ValueError) as theirs:
        getattr(torch.optim, name)([torch.ones(1, requires_grad=True)], **kwargs)
    with pytest.raises(ValueError) as ours:
        getattr(zel.optim, name)([zel.tensor([1.0], requires_grad=True)], **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_parameter_lists_are_checked():
    x = zel.tensor([1.0], requires_grad=True)
    # SGD's lr: required before PyTorch 2.2, 1e-3 since; the library takes the installed one's.
    try:
        torch.optim.SGD([torch.ones(1, requires_grad=True)])
        assert zel.optim.SGD([x]).defaults["lr"] == torch.optim.SGD([torch.ones(1)]).defaults["lr"]
    except ValueError as exc:
        with pytest.raises(ValueError) as ours:
            zel.optim.SGD([x])
        assert str(ours.value) == str(exc)
    for params, kind, text in (([], ValueError, "optimizer got an empty parameter list"),
                               (x, TypeError, "should be an iterable of Tensors or dicts"),
                               ([torch.ones(1)], TypeError, "optimizer can only optimize Tensors"),
                               ([x * 2], ValueError, "can't optimize a non-leaf Tensor"),
                               ((x for _ in range(2)), UserWarning, "duplicate parameters"),
                               ([{"lr": 0.1}], ValueError, "didn't specify a value of required optimization "
                                                           "parameter params")):
        if kind is UserWarning:
            with pytest.warns(kind, match=text):
                zel.optim.Adam(params)
            continue
        with pytest.raises(kind, match=text):
            zel.optim.Adam(params)
    with pytest.raises(ValueError, match="Invalid learning rate: -2.0"):
        zel.optim.LBFGS([x], lr=-2.0)
    with pytest.raises(RuntimeError, match="requires a closure"):
        zel.optim.LBFGS([x]).step()
    with pytest.raises(ValueError, match="doesn't support per-parameter options"):
        zel.optim.LBFGS([{"params": [x]}, {"params": [zel.tensor([2.0], requires_grad=True)]}])
    with pytest.raises(RuntimeError, match="only 'strong_wolfe' is supported"):
        zel.optim.LBFGS([x], line_search_fn="armijo")


SCHEDULERS = [
    ("StepLR", dict(step_size=3, gamma=0.5)),
    ("MultiStepLR", dict(milestones=[2, 5, 5, 11], gamma=0.3)),
    ("ExponentialLR", dict(gamma=0.9)),
    ("CosineAnnealingLR", dict(T_max=7, eta_min=0.001)),
    ("LambdaLR", dict(lr_lambda=lambda epoch: 0.95 ** epoch / (1 + epoch))),
    ("LinearLR", dict(start_factor=0.25, total_iters=8)),
    ("OneCycleLR", dict(max_lr=0.5, total_steps=25)),
    ("OneCycleLR", dict(max_lr=[0.5, 0.2], epochs=5, steps_per_epoch=5, three_phase=True, anneal_strategy="linear")),
]


def two_group_optimizers(name="SGD", **kwargs):
    a_z, b_z = zel.tensor([1.0], requires_grad=True), zel.tensor([2.0], requires_grad=True)
    a_t, b_t = (torch.tensor([v], dtype=torch.float64, requires_grad=True) for v in (1.0, 2.0))
    opts = []
    for lib, a, b in ((zel, a_z, b_z), (torch, a_t, b_t)):
        opts.append(getattr(lib.optim, name)([{"params": [a]}, {"params": [b], "lr": 0.05}], lr=0.1, **kwargs))
    return opts


@pytest.mark.parametrize("opt_name", ["SGD", "Adam"])
@pytest.mark.parametrize("name,kwargs", SCHEDULERS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(SCHEDULERS)])
def test_schedulers_follow_torch(name, kwargs, opt_name):
    opt_z, opt_t = two_group_optimizers(opt_name, **({"momentum": 0.9} if opt_name == "SGD" else {}))
    s_z = getattr(zel.optim.lr_scheduler, name)(opt_z, **kwargs)
    s_t = getattr(torch.optim.lr_scheduler, name)(opt_t, **kwargs)
    assert s_z.get_last_lr() == s_t.get_last_lr()
    for epoch in range(20):
        opt_z.step()
        opt_t.step()
        s_z.step()
        s_t.step()
        assert s_z.last_epoch == s_t.last_epoch == epoch + 1
        assert s_z.get_last_lr() == s_t.get_last_lr(), epoch
        for gz, gt in zip(opt_z.param_groups, opt_t.param_groups):
            assert gz["lr"] == gt["lr"]
            assert gz.get("momentum") == gt.get("momentum") and gz.get("betas") == gt.get("betas")
        if epoch == 9:
            # A fresh scheduler resumed from the state dict continues identically.
            sd = s_z.state_dict()
            assert "optimizer" not in sd
            resumed = getattr(zel.optim.lr_scheduler, name)(opt_z, **kwargs) if name != "OneCycleLR" else s_z
            resumed.load_state_dict(sd)
            assert resumed.last_epoch == s_t.last_epoch and resumed.get_last_lr() == s_t.get_last_lr()
            for g, lr in zip(opt_z.param_groups, s_t.get_last_lr()):
                g["lr"] = lr
            s_z = resumed


def test_reduce_lr_on_plateau_follows_torch():
    metrics = [5.0, 4.0, 4.0, 3.9999, 4.1, 4.2, 3.0, 3.0, 3.0, 3.0, 2.99999, 3.5, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0]
    for kwargs in (dict(patience=1), dict(mode="max", factor=0.5, patience=0, cooldown=2, min_lr=[0.02, 0.0]),
                   dict(threshold_mode="abs", threshold=0.5, patience=2, eps=1e-3)):
        opt_z, opt_t = two_group_optimizers()
        s_z = zel.optim.lr_scheduler.ReduceLROnPlateau(opt_z, **kwargs)
        s_t = torch.optim.lr_scheduler.ReduceLROnPlateau(opt_t, **kwargs)
        for i, m in enumerate(metrics):
            s_z.step(zel.tensor(m) if i % 2 else m)
            s_t.step(m)
            assert [g["lr"] for g in opt_z.param_groups] == [g["lr"] for g in opt_t.param_groups], (kwargs, i)
            assert s_z.num_bad_epochs == s_t.num_bad_epochs and s_z.best == s_t.best
        sd = s_z.state_dict()
        fresh = zel.optim.lr_scheduler.ReduceLROnPlateau(opt_z)
        fresh.load_state_dict(sd)
        assert fresh.best == s_z.best and fresh.mode == s_z.mode and fresh.patience == s_z.patience


SCHEDULER_ERRORS = [
    ("LinearLR", dict(start_factor=-0.5)), ("LinearLR", dict(end_factor=1.5)),
    ("OneCycleLR", dict(max_lr=0.1)), ("OneCycleLR", dict(max_lr=0.1, total_steps=0)),
    ("OneCycleLR", dict(max_lr=0.1, epochs=2, steps_per_epoch=-1)),
    ("OneCycleLR", dict(max_lr=0.1, total_steps=10, pct_start=1.5)),
    ("OneCycleLR", dict(max_lr=[0.1], total_steps=10)),
    ("ReduceLROnPlateau", dict(factor=1.0)), ("ReduceLROnPlateau", dict(mode="middle")),
    ("ReduceLROnPlateau", dict(threshold_mode="half")), ("ReduceLROnPlateau", dict(min_lr=[0.1])),
    ("LambdaLR", dict(lr_lambda=[lambda e: 1.0])),
]


@pytest.mark.parametrize("name,kwargs", SCHEDULER_ERRORS, ids=[f"{n}-{i}" for i, (n, _) in
                                                               enumerate(SCHEDULER_ERRORS)])
def test_scheduler_errors_are_pytorchs(name, kwargs):
    opt_z, opt_t = two_group_optimizers()
    with pytest.raises(ValueError) as theirs:
        getattr(torch.optim.lr_scheduler, name)(opt_t, **kwargs)
    with pytest.raises(ValueError) as ours:
        getattr(zel.optim.lr_scheduler, name)(opt_z, **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_scheduler_resume_needs_initial_lr_and_one_cycle_stops_at_its_end():
    opt_z, _ = two_group_optimizers()
    with pytest.raises(KeyError, match="param 'initial_lr' is not specified in param_groups\\[0\\]"):
        zel.optim.lr_scheduler.StepLR(opt_z, 2, last_epoch=4)
    with pytest.raises(ValueError, match="Starting multiplicative factor"):
        zel.optim.lr_scheduler.LinearLR(opt_z, start_factor=0.0)  # would divide by zero at the next step
    with pytest.raises(TypeError, match="is not an Optimizer"):
        zel.optim.lr_scheduler.ExponentialLR(object(), 0.5)
    with pytest.raises(ValueError, match="anneal_strategy must .* 'cos' or 'linear', instead got quad"):
        zel.optim.lr_scheduler.OneCycleLR(opt_z, max_lr=0.1, total_steps=10, anneal_strategy="quad")
    s = zel.optim.lr_scheduler.OneCycleLR(opt_z, max_lr=0.1, total_steps=3)
    for _ in range(3):
        s.step()
    with pytest.raises(ValueError, match="Tried to step 5 times. The number of total steps set is 3"):
        s.step()


def test_cubic_interpolation_is_pytorchs():
    from torch.optim.lbfgs import _cubic_interpolate as theirs
    from varnel.zel.optim import _cubic_interpolate as ours
    gen = torch.Generator().manual_seed(3)
    seen_negative = 0
    for i in range(200):
        x1, f1, g1, x2, f2, g2 = (torch.randn(6, generator=gen, dtype=torch.float64) * 3).tolist()
        if x1 == x2:
            continue
        bounds = None if i % 2 else (min(x1, x2) - 1.0, max(x1, x2) + 0.5)
        d1 = g1 + g2 - 3 * (f1 - f2) / (x1 - x2)
        seen_negative += d1 * d1 - g1 * g2 < 0
        t = theirs(x1, f1, torch.tensor(g1, dtype=torch.float64), x2, f2, torch.tensor(g2, dtype=torch.float64),
                   bounds=bounds)
        assert ours(x1, f1, g1, x2, f2, g2, bounds=bounds) == float(t), i
    assert seen_negative > 10  # the midpoint branch ran too
    # Degenerate brackets give IEEE values, not Python exceptions.
    assert math.isnan(ours(1.0, 2.0, 1.0, 1.0, 3.0, 1.0))
    for args in ((0.0, 1e300, -1e300, 1.0, -1e300, 1e300), (0.0, 1.0, -1e200, 1.0, 0.5, 1e200)):
        t = theirs(*(torch.tensor(v, dtype=torch.float64) for v in args), bounds=(0.0, 2.0))
        got = ours(*args, bounds=(0.0, 2.0))
        assert got == float(t) or (math.isnan(got) and math.isnan(float(t))), (args, got, t)


def _mp_reference(name, x0, steps, kw):
    """The optimizer's updates on f(x) = 1.5 (x - 0.7)^2 in mpmath at 60 digits (one element)."""
    import mpmath
    with mpmath.workdps(60):
        return _mp_steps(mpmath, name, x0, steps, kw)


def _mp_steps(mpmath, name, x0, steps, kw):
    F = mpmath.mpf
    x, lr = F(x0), F(kw.get("lr", 0))
    b1, b2 = (F(b) for b in kw.get("betas", (0.9, 0.999)))
    eps = F(kw.get("eps", 1e-8))
    m = v = vmax = F(0)
    mu_prod = F(1)
    acc = F(kw.get("initial_accumulator_value", 0))
    sq = dl = gavg = buf = F(0)
    for t in range(1, steps + 1):
        g = 3 * (x - F(0.7))
        if name == "Adam":
            m = b1 * m + (1 - b1) * g
            v = b2 * v + (1 - b2) * g * g
            vmax = max(vmax, v)
            x -= lr / (1 - b1 ** t) * m / (mpmath.sqrt(vmax) / mpmath.sqrt(1 - b2 ** t) + eps)
        elif name == "NAdam":
            md = F(kw.get("momentum_decay", 4e-3))
            mu = b1 * (1 - F(0.5) * F(0.96) ** (t * md))
            mu_next = b1 * (1 - F(0.5) * F(0.96) ** ((t + 1) * md))
            mu_prod *= mu
            mu_prod_next = mu_prod * mu * mu_next if optim_module._legacy_nadam() else mu_prod * mu_next
            m = b1 * m + (1 - b1) * g
            v = b2 * v + (1 - b2) * g * g
            denom = mpmath.sqrt(v / (1 - b2 ** t)) + eps
            x -= lr * (1 - mu) / (1 - mu_prod) * g / denom
            x -= lr * mu_next / (1 - mu_prod_next) * m / denom
        elif name == "Adagrad":
            acc += g * g
            x -= lr * g / (mpmath.sqrt(acc) + F(kw.get("eps", 1e-10)))
        elif name == "RMSprop":
            a = F(kw.get("alpha", 0.99))
            sq = a * sq + (1 - a) * g * g
            gavg = a * gavg + (1 - a) * g
            avg = mpmath.sqrt(sq - gavg * gavg) + eps
            buf = F(kw["momentum"]) * buf + g / avg
            x -= lr * buf
        elif name == "Adadelta":
            rho = F(kw["rho"])
            sq = rho * sq + (1 - rho) * g * g
            delta = mpmath.sqrt(dl + F(1e-6)) / mpmath.sqrt(sq + F(1e-6)) * g
            dl = rho * dl + (1 - rho) * delta * delta
            x -= lr * delta
        elif name == "Adamax":
            m = b1 * m + (1 - b1) * g
            v = max(b2 * v, abs(g) + eps)
            x -= lr / (1 - b1 ** t) * m / v
    return x


optim_module = __import__("varnel.zel.optim", fromlist=["_legacy_nadam"])


@pytest.mark.parametrize("name,kwargs", [
    ("Adam", dict(lr=0.1, amsgrad=True)), ("NAdam", dict(lr=0.1)), ("Adagrad", dict(lr=0.1)),
    ("RMSprop", dict(lr=0.01, centered=True, momentum=0.5)), ("Adadelta", dict(lr=1.0, rho=0.8)),
    ("Adamax", dict(lr=0.1)),
])
def test_updates_are_limb_arithmetic(name, kwargs):
    # Against the same recurrences at 60 digits: a float64 rounding anywhere
    # (a hyperparameter product, a bias correction) would show at 1e-17.
    x = zel.tensor([0.3], requires_grad=True)
    opt = getattr(zel.optim, name)([x], **kwargs)
    for _ in range(5):
        opt.zero_grad()
        (1.5 * (x - 0.7) * (x - 0.7)).sum().backward()
        opt.step()
    import mpmath
    got = exact(x.detach())[0]
    with mpmath.workdps(60):
        err = abs(mpmath.mpf(got.numerator) / got.denominator - _mp_reference(name, 0.3, 5, kwargs))
    assert err < 1e-28, (name, float(err))
