"""PyTorch's gradient switches. The modes are thread-local flags kept by the
core module (every operation reads them); these classes set and restore
them, as context managers and as decorators."""
import functools

_zel = None  # varnel.zel.zel, set by install()


class _Mode:
    """Sets the mode on entry and restores the previous one on exit; as a
    decorator, around every call of the function (generators included)."""

    def __enter__(self):
        self._prev = self._get()
        self._set(self._mode)
        return self

    def __exit__(self, *exc):
        self._set(self._prev)
        return False

    def __call__(self, fn):
        import inspect
        if inspect.isgeneratorfunction(fn):
            @functools.wraps(fn)
            def gen(*args, **kwargs):
                with self.clone():
                    yield from fn(*args, **kwargs)
            return gen

        @functools.wraps(fn)
        def run(*args, **kwargs):
            with self.clone():
                return fn(*args, **kwargs)
        return run

    def clone(self):
        return type(self).__new__(type(self))._with(self._mode)

    def _with(self, mode):
        self._mode = mode
        return self


class _GradSwitch(_Mode):
    @staticmethod
    def _get():
        return _zel._is_grad_enabled()

    @staticmethod
    def _set(mode):
        _zel._set_grad_enabled(mode)


class no_grad(_GradSwitch):
    """Operations inside record no graph: their results do not require grad."""

    def __init__(self):
        self._mode = False


class enable_grad(_GradSwitch):
    """Turns recording back on inside no_grad."""

    def __init__(self):
        self._mode = True


class set_grad_enabled(_GradSwitch):
    """Sets recording on or off: at once when called, and as a context
    manager or decorator until the end of the block."""

    def __init__(self, mode):
        if not isinstance(mode, bool):
            raise TypeError("set_grad_enabled(): argument 'mode' must be bool, not %s" % type(mode).__name__)
        self._prev = _zel._is_grad_enabled()
        self._mode = mode
        _zel._set_grad_enabled(mode)

    def __enter__(self):
        return self

    def __call__(self, fn):
        # As a decorator it changes nothing at once: only the calls run in the mode.
        _zel._set_grad_enabled(self._prev)
        return super().__call__(fn)

    def clone(self):
        return _Enter(self._mode)


class _Enter(_GradSwitch):
    def __init__(self, mode):
        self._mode = mode


class inference_mode(_Mode):
    """No recording, as no_grad; is_inference_mode_enabled() says so inside.
    inference_mode(False) leaves recording as it is."""

    def __init__(self, mode=True):
        if not isinstance(mode, bool):
            raise TypeError("inference_mode(): argument 'mode' must be bool, not %s" % type(mode).__name__)
        self._mode = mode

    def __enter__(self):
        self._prev = (_zel._is_inference_mode_enabled(), _zel._is_grad_enabled())
        _zel._set_inference_mode(self._mode)
        if self._mode:
            _zel._set_grad_enabled(False)
        return self

    def __exit__(self, *exc):
        _zel._set_inference_mode(self._prev[0])
        _zel._set_grad_enabled(self._prev[1])
        return False


def is_grad_enabled():
    """Whether operations on this thread record a graph."""
    return _zel._is_grad_enabled()


def is_inference_mode_enabled():
    """Whether this thread is inside inference_mode."""
    return _zel._is_inference_mode_enabled()


def install(zel):
    global _zel
    _zel = zel
