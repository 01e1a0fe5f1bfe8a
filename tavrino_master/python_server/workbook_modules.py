"""The workbook's modules inside the kernel: source texts the master sends,
importable under their names from user code and from each other.

The listener thread only records texts (never runs user code); worker threads
import, without a lock of this module around the import: a wait for the
master's answer about one module holds up only the import that needs it. Any
change of text makes every workbook module load afresh at the next call, so a
module that imports a changed one runs against the new text too.
"""
import _imp
import importlib
import importlib.abc
import importlib.util
import linecache
import sys
import threading


def source_filename(name):
    return f"workbook/{name.replace('.', '/')}.py"


# How long an import from workbook code waits for the master to send a module
# none of the finders knows; the master answers at once from its cache, and a
# module it lacks may never come.
REQUEST_TIMEOUT = 2.0


class WorkbookModules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Finder and loader of the workbook's modules, held as texts in memory.

    It stands first on sys.meta_path, so that a workbook module wins over an
    installed one of the same name, and answers from memory only. Its
    `on_demand` finder stands last: a top-level name that workbook code
    imports and no finder knows is asked of the master there."""

    def __init__(self, namespace=None, request_module=None, request_timeout=REQUEST_TIMEOUT):
        self._sources = {}
        self._parents = set()  # names that exist only as parents of dotted ones
        self._changed = threading.Condition()
        self._generation = 0
        self._loaded_generation = 0
        self._leftovers = []  # (name, module) whose import ended after they were unloaded
        self._beside = {}  # (name, generation): workbook modules named like a library module
        self._beside_locks = {}
        self._namespace = dict(namespace or {})
        self._request_module = request_module
        self._request_timeout = request_timeout
        self._asked = set()
        self.on_demand = _OnDemand(self)

    # -- listener side: record only -------------------------------------------

    def update(self, name, code):
        """Makes `code` the current text of `name`; true when the text changed."""
        with self._changed:
            self._asked.discard(name)
            if self._sources.get(name) == code:
                return False
            self._sources[name] = code
            self._texts_changed()
        linecache.cache.pop(source_filename(name), None)
        return True

    def delete(self, name):
        with self._changed:
            if self._sources.pop(name, None) is None:
                return False
            self._texts_changed()
        linecache.cache.pop(source_filename(name), None)
        return True

    def _texts_changed(self):
        self._parents = {name.rsplit(".", i)[0] for name in self._sources for i in range(1, name.count(".") + 1)}
        self._generation += 1
        self._changed.notify_all()

    def names(self):
        with self._changed:
            return list(self._sources)

    # -- worker side ------------------------------------------------------------

    def load(self, name):
        """The current module `name`, loaded afresh when any workbook text changed.

        A workbook module named like a library module the kernel holds already
        (json, logging, ...) is loaded beside it and never enters sys.modules:
        the call runs the workbook's text, and whoever imports the library
        still gets the library."""
        with self._changed:
            if self._generation != self._loaded_generation:
                self._loaded_generation = self._generation
                self._unload()
            elif self._leftovers:
                self._drop_leftovers()
            beside = name in self._sources and self._held_by_library(name)
        if beside:
            return self._load_beside(name)
        try:
            return importlib.import_module(name)
        except ModuleNotFoundError as exc:
            # Not here and not elsewhere: maybe the master has it.
            missing = exc.name or ""
            if not (name == missing or name.startswith(missing + ".")) or not self._ask(name):
                raise
        return importlib.import_module(name)

    def unload_all(self):
        with self._changed:
            self._unload()

    def _unload(self):
        # Never waits. A module whose top level still runs (maybe forever)
        # leaves too, and so does the import lock its import holds: the next
        # import of the name runs the current text under a lock of its own.
        for mod_name, module in list(sys.modules.items()):
            if getattr(module, "__loader__", None) is self:
                sys.modules.pop(mod_name, None)
                if getattr(getattr(module, "__spec__", None), "_initializing", False):
                    _forget_import_lock(mod_name)
        self._beside.clear()
        self._beside_locks.clear()

    def _drop_leftovers(self):
        kept = []
        for mod_name, module in self._leftovers:
            if getattr(module.__spec__, "_initializing", False):
                kept.append((mod_name, module))
            elif sys.modules.get(mod_name) is module:
                sys.modules.pop(mod_name, None)
        self._leftovers = kept

    def _held_by_library(self, name):
        module = sys.modules.get(name)
        return module is not None and getattr(module, "__loader__", None) is not self

    def _load_beside(self, name):
        with self._changed:
            generation = self._generation
            key = (name, generation)
            module = self._beside.get(key)
            if module is not None:
                return module
            lock = self._beside_locks.setdefault(key, threading.Lock())
        # One load per name and text, as the import system would do it; one
        # whose top level never ends holds up only the calls of that text.
        with lock:
            with self._changed:
                module = self._beside.get(key)
            if module is None:
                spec = self.find_spec(name)
                if spec is None:  # deleted meanwhile
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                module = importlib.util.module_from_spec(spec)
                self.exec_module(module)
                with self._changed:
                    if generation == self._generation:
                        self._beside[key] = module
        return module

    def _known(self, name):
        with self._changed:
            return name in self._sources or name in self._parents

    def _ask(self, name):
        """Asks the master for a module it never sent and waits a while for it;
        true when it came."""
        return self._request(name) and self._arrived(name)

    def _request(self, name):
        """Asks the master for a module; false when it cannot be asked."""
        if self._request_module is None:
            return False
        with self._changed:
            if name in self._asked:  # asked before and never came: don't wait again
                return False
            self._asked.add(name)
        try:
            self._request_module(name)
        except Exception:
            return False
        return True

    def _arrived(self, name):
        with self._changed:
            return self._changed.wait_for(lambda: name in self._sources, self._request_timeout)

    # -- import protocol ----------------------------------------------------------

    def find_spec(self, fullname, path=None, target=None):
        with self._changed:
            if fullname in self._sources:
                is_package = fullname in self._parents
            elif fullname in self._parents:
                is_package = True
            else:
                return None
        spec = importlib.util.spec_from_loader(fullname, self, origin=source_filename(fullname),
                                               is_package=is_package)
        spec.has_location = False
        return spec

    def is_package(self, fullname):
        with self._changed:
            return fullname in self._parents or fullname not in self._sources

    def get_source(self, fullname):
        with self._changed:
            return self._sources.get(fullname, "")

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        code = self.get_source(module.__name__)
        for key, value in self._namespace.items():
            module.__dict__.setdefault(key, value)
        exec(compile(code, source_filename(module.__name__), "exec"), module.__dict__)
        if module.__name__ not in sys.modules and getattr(module.__spec__, "_initializing", False):
            # Unloaded while its top level ran: its import ends as usual with
            # it, and the next load drops it again.
            sys.modules[module.__name__] = module
            with self._changed:
                self._leftovers.append((module.__name__, module))


def _forget_import_lock(name):
    """Detaches the import lock of `name` from the import system, which makes
    a new one at the next import of that name. The import that holds it keeps
    its lock and runs on."""
    bootstrap = getattr(importlib, "_bootstrap", None)
    locks = getattr(bootstrap, "_module_locks", None)
    if not isinstance(locks, dict):
        return
    _imp.acquire_lock()  # what guards the table of import locks
    try:
        locks.pop(name, None)
    finally:
        _imp.release_lock()


class _OnDemand(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """The last finder: a top-level module imported by workbook code that no
    other finder found is asked of the master.

    The import system calls finders under its global lock, so the wait for
    the master's answer happens in create_module, under that module's own
    lock only: imports of other modules go on meanwhile."""

    def __init__(self, modules):
        self._modules = modules

    def find_spec(self, fullname, path=None, target=None):
        if "." in fullname or not self._imported_by_workbook_code():
            return None
        if self._modules._known(fullname):
            return self._modules.find_spec(fullname)
        if not self._modules._request(fullname):
            return None
        return importlib.util.spec_from_loader(fullname, self, origin=source_filename(fullname))

    def create_module(self, spec):
        if not self._modules._arrived(spec.name):
            raise ModuleNotFoundError(f"No module named {spec.name!r}", name=spec.name)
        # From here the module is the workbook's like any other.
        found = self._modules.find_spec(spec.name)
        if found is None:  # deleted as soon as it came
            raise ModuleNotFoundError(f"No module named {spec.name!r}", name=spec.name)
        spec.loader = found.loader
        spec.submodule_search_locations = found.submodule_search_locations
        return None

    def exec_module(self, module):
        self._modules.exec_module(module)

    def _imported_by_workbook_code(self):
        """True when the import statement being served stands in a workbook module."""
        try:
            frame = sys._getframe(2)
        except ValueError:
            return False
        while frame is not None and frame.f_code.co_filename.startswith("<frozen importlib"):
            frame = frame.f_back
        return frame is not None and frame.f_globals.get("__loader__") is self._modules
