"""Dependency resolution from what this machine already holds.

There is no package index here, so a package is known only from three local
places, looked at in this order:

- the running environment (the distributions the master's interpreter sees,
  through importlib.metadata); a package taken from there is marked
  ``from_dist`` and needs no install;
- the package cache (``package_cache.root``: one directory per installed
  package and version);
- the wheelhouse (``package_cache.wheel_dir``: wheel files compatible with this
  interpreter, whose metadata is read from the archive).

A package's requirements are its declared Requires-Dist entries (markers
evaluated for this interpreter and the requested extras). A package found
nowhere stays in the result with the version text it was asked for and no
known requirements: its install then fails with a clear text. A dependency
found locally only in versions that do not fit is taken in the best of them,
and the mismatch is reported as a conflict, like any unsatisfied version
requirement between packages. Only specs that cannot be parsed make a
resolution unsuccessful.
"""
import asyncio
import email.parser
import importlib.metadata
import re
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

from packaging import tags
from packaging.requirements import InvalidRequirement, Requirement
from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.utils import InvalidWheelFilename, canonicalize_name, parse_wheel_filename
from packaging.version import InvalidVersion, Version

_ANY_VERSION = ("", "*", "latest")
_METADATA_IN_WHEEL = re.compile(r"^[^/]+\.dist-info/METADATA$")
_EXTRA_IN_MARKER = re.compile(r"""extra\s*==\s*['"]([^'"]+)['"]""")


@dataclass
class PackageSpec:
    """A package as asked for: a version ("" for any, an exact version, or a
    specifier such as ">=2.0") and extras. `from_dist` is set by the resolver
    when the running environment already provides it."""
    name: str
    version: str = ""
    extras: list = field(default_factory=list)
    from_dist: bool = False

    def __post_init__(self):
        self.extras = list(self.extras or [])
        self.version = "" if self.version is None else str(self.version)

    def specifier(self):
        return version_specifier(self.version)

    def requirement(self):
        """The requirement text, e.g. "requests[socks]==2.31.0"."""
        extras = f"[{','.join(self.extras)}]" if self.extras else ""
        version = self.version.strip()
        if version in _ANY_VERSION:
            version = ""
        elif version[0] not in "<>=!~":
            version = "==" + version
        return f"{self.name}{extras}{version}"

    def __str__(self):
        return self.requirement()


@dataclass
class ResolvedPackage:
    spec: PackageSpec
    is_direct: bool
    source: list = field(default_factory=list)  # the direct packages that pulled it in
    is_error: bool = False


@dataclass
class ResolutionResult:
    success: bool
    packages: list  # ResolvedPackage, dependencies before the packages needing them
    errors: list
    conflicts: list


@dataclass
class Candidate:
    """One locally available distribution of a package."""
    name: str
    version: str
    origin: str  # "environment", "cache" or "wheelhouse"
    location: str
    metadata: object  # an email.message.Message-like mapping
    requires: list = field(default_factory=list)  # requirement texts, markers included

    @property
    def extras(self):
        declared = list(self.metadata.get_all("Provides-Extra") or [])
        for text in self.requires:  # old-style metadata declares extras only in its requirements
            for extra in _EXTRA_IN_MARKER.findall(text):
                if extra not in declared:
                    declared.append(extra)
        return declared

    @property
    def summary(self):
        return self.metadata.get("Summary") or ""


def version_specifier(version):
    """The SpecifierSet of a version text; raises InvalidSpecifier when it is none."""
    version = "" if version is None else str(version).strip()
    if version in _ANY_VERSION:
        return SpecifierSet("")
    if version[0] in "<>=!~":
        return SpecifierSet(version)
    return SpecifierSet("==" + version)


def find_candidates(name, package_cache=None):
    """Every local distribution of `name`: the importable one of the running
    environment first, then the cache's and the wheelhouse's."""
    canon = canonicalize_name(name)
    found = []
    for dist in importlib.metadata.distributions():
        if _canon(dist) == canon:
            found.append(_from_dist(dist, "environment", str(dist.locate_file(""))))
            break  # later ones are shadowed on the import path
    root = getattr(package_cache, "root", None)
    if root is not None and Path(root).is_dir():
        for directory in sorted(Path(root).iterdir()):
            if not directory.is_dir() or directory.name.startswith("."):
                continue
            for dist in importlib.metadata.distributions(path=[str(directory)]):
                if _canon(dist) == canon:
                    found.append(_from_dist(dist, "cache", str(directory)))
    wheel_dir = getattr(package_cache, "wheel_dir", None)
    if wheel_dir is not None and Path(wheel_dir).is_dir():
        for wheel in sorted(Path(wheel_dir).glob("*.whl")):
            try:
                wheel_name, version, _, wheel_tags = parse_wheel_filename(wheel.name)
            except (InvalidWheelFilename, InvalidVersion):
                continue
            if wheel_name != canon or not (wheel_tags & _supported_tags()):
                continue
            metadata = _wheel_metadata(wheel)
            if metadata is not None:
                found.append(Candidate(metadata.get("Name") or name, str(version), "wheelhouse", str(wheel),
                                       metadata, list(metadata.get_all("Requires-Dist") or [])))
    return found


def _from_dist(dist, origin, location):
    # `requires` also reads the requires.txt of egg-info metadata.
    return Candidate(dist.metadata["Name"], dist.version, origin, location, dist.metadata, list(dist.requires or []))


def choose_candidate(candidates, specifier):
    """The running environment's distribution when it satisfies `specifier`,
    else the highest satisfying version (the cache before the wheelhouse)."""
    fitting = [c for c in candidates if satisfies(c.version, specifier)]
    for c in fitting:
        if c.origin == "environment":
            return c
    best = None
    for c in fitting:
        if best is None or version_key(c.version) > version_key(best.version):
            best = c
    return best


class DependencyResolver:
    def __init__(self, settings_manager=None, package_cache=None):
        self.settings_manager = settings_manager
        self.package_cache = package_cache

    async def resolve(self, specs):
        # Metadata is read from disk; keep the event loop free meanwhile.
        return await asyncio.to_thread(self._resolve, list(specs))

    def _resolve(self, specs):
        errors = []
        for spec in specs:
            try:
                Requirement(spec.requirement())
            except (InvalidRequirement, InvalidSpecifier, AttributeError, TypeError, IndexError) as e:
                errors.append(f"Invalid package {spec!r}: {e}")
        if errors:
            return ResolutionResult(False, [], errors, [])
        self._nodes = {}
        self._order = []
        self._conflicts = []
        for spec in specs:
            self._visit(spec.name, spec.version, spec.extras, root=None, required_by=None)
        packages = [node.resolved for node in self._order]
        return ResolutionResult(True, packages, [], self._conflicts)

    def _visit(self, name, version, extras, root, required_by):
        canon = canonicalize_name(name)
        specifier = version_specifier(version)
        node = self._nodes.get(canon)
        if node is not None:
            self._merge(node, canon, version, specifier, extras, root, required_by)
            return
        candidates = find_candidates(name, self.package_cache)
        candidate = choose_candidate(candidates, specifier)
        if candidate is None and root is not None and candidates:
            # A dependency is better served by a local version that does not fit than by none.
            candidate = choose_candidate(candidates, SpecifierSet(""))
            self._conflicts.append(f"{name} {candidate.version} does not satisfy '{version}' "
                                   f"required by {required_by}")
        spec = PackageSpec(name=name, version=candidate.version if candidate else version, extras=extras,
                           from_dist=bool(candidate and candidate.origin == "environment"))
        node = _Node(ResolvedPackage(spec=spec, is_direct=root is None), candidate)
        if root is not None and canonicalize_name(root) != canon:
            node.resolved.source.append(root)
        self._nodes[canon] = node  # before the requirements, so that cycles end here
        self._visit_requirements(node, root if root is not None else name, spec.extras, first=True)
        self._order.append(node)

    def _merge(self, node, canon, version, specifier, extras, root, required_by):
        resolved = node.resolved
        if root is None:
            resolved.is_direct = True
        elif canonicalize_name(root) != canon and root not in resolved.source:
            resolved.source.append(root)
        if node.candidate is not None and not satisfies(node.candidate.version, specifier):
            by = f" required by {required_by}" if required_by else " requested by the workbook"
            self._conflicts.append(f"{resolved.spec.name} {node.candidate.version} does not satisfy "
                                   f"'{version}'{by}")
        new_extras = [e for e in extras if e not in resolved.spec.extras]
        if new_extras:
            resolved.spec.extras.extend(new_extras)
            self._visit_requirements(node, root if root is not None else resolved.spec.name, new_extras,
                                     first=False)

    def _visit_requirements(self, node, root, extras, first):
        if node.candidate is None:
            return
        for text in node.candidate.requires:
            try:
                req = Requirement(text)
            except InvalidRequirement:
                continue  # a broken declaration of somebody else's package
            if not _wanted(req, extras, include_plain=first):
                continue
            self._visit(req.name, str(req.specifier), sorted(req.extras), root=root,
                        required_by=node.resolved.spec.name)


class _Node:
    def __init__(self, resolved, candidate):
        self.resolved = resolved
        self.candidate = candidate


def _wanted(req, extras, include_plain):
    """Whether a requirement applies: markers for this interpreter, with
    `include_plain` deciding the ones that do not depend on an extra."""
    if req.marker is None:
        return include_plain
    plain = req.marker.evaluate({"extra": ""})
    if plain:
        return include_plain
    return any(req.marker.evaluate({"extra": e}) for e in extras)


def satisfies(version, specifier):
    try:
        return specifier.contains(Version(version), prereleases=True)
    except InvalidVersion:
        return not str(specifier) or str(specifier) == f"=={version}"


def version_key(version):
    try:
        return (1, Version(version))
    except InvalidVersion:
        return (0, Version("0"))


def _canon(dist):
    name = dist.metadata["Name"]
    return canonicalize_name(name) if name else None


_tags_cache = None


def _supported_tags():
    global _tags_cache
    if _tags_cache is None:
        _tags_cache = frozenset(tags.sys_tags())
    return _tags_cache


def _wheel_metadata(wheel):
    try:
        with zipfile.ZipFile(wheel) as archive:
            for member in archive.namelist():
                if _METADATA_IN_WHEEL.match(member):
                    text = archive.read(member).decode("utf-8", "replace")
                    return email.parser.Parser().parsestr(text)
    except (OSError, zipfile.BadZipFile):
        pass
    return None
