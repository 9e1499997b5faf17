"""The wheel build of qel_modbus on Python 3.6, where scikit-build-core does
not run: the same CMake project and install rules, driven directly.

It also makes the Windows wheels on Linux (.ci/windows): CMAKE_ARGS then
names a toolchain file and the target's headers, and the config setting
``qel.wheel-tag`` the wheel's tag, which this interpreter cannot know."""
import base64
import csv
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

try:
    import tomllib as tomli
except ImportError:
    import tomli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def get_requires_for_build_wheel(config_settings=None):
    return []


def _tool(name):
    """A build tool from the build environment (the cmake and ninja wheels)
    or else from PATH."""
    here = os.path.dirname(sys.executable)
    candidate = os.path.join(here, name)
    if os.path.exists(candidate):
        return candidate
    return shutil.which(name)


def _tag():
    version = "cp%d%d" % sys.version_info[:2]
    soabi = sysconfig.get_config_var("SOABI") or ""
    match = re.match(r"cpython-(\d+)([a-z]*)", soabi)
    abi = "cp%s%s" % (match.group(1), match.group(2)) if match else version
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "%s-%s-%s" % (version, abi, platform)


def _with_extra(requirement, extra):
    name, sep, marker = requirement.partition(";")
    condition = 'extra == "%s"' % extra
    if sep:
        condition = "(%s) and %s" % (marker.strip(), condition)
    return "%s; %s" % (name.strip(), condition)


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
    ]
    if "description" in project:
        lines.append("Summary: " + project["description"])
    if "keywords" in project:
        lines.append("Keywords: " + ",".join(project["keywords"]))
    license_ = project.get("license", {})
    if "text" in license_:
        lines.append("License: " + license_["text"])
    for classifier in project.get("classifiers", []):
        lines.append("Classifier: " + classifier)
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    for requirement in project.get("dependencies", []):
        lines.append("Requires-Dist: " + requirement)
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        for requirement in requirements:
            lines.append("Requires-Dist: " + _with_extra(requirement, extra))
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str):
        lines.append("Description-Content-Type: text/markdown" if readme.endswith(".md") else
                     "Description-Content-Type: text/plain")
        with open(os.path.join(ROOT, readme), encoding="utf-8") as f:
            body = "\n" + f.read()
    return "\n".join(lines) + "\n" + body


def _entry_points(project):
    """entry_points.txt for the console scripts and other entry points, or
    None when the project declares none."""
    groups = [("console_scripts", project.get("scripts", {})), ("gui_scripts", project.get("gui-scripts", {}))]
    groups += sorted(project.get("entry-points", {}).items())
    sections = ["[%s]\n%s" % (group, "".join("%s = %s\n" % item for item in sorted(entries.items())))
                for group, entries in groups if entries]
    return "\n".join(sections) if sections else None


def _record_row(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return [path, "sha256=" + digest, str(len(data))]


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        pyproject = tomli.load(f)
    project = pyproject["project"]
    skbuild = pyproject.get("tool", {}).get("scikit-build", {})
    name = re.sub(r"[-_.]+", "_", project["name"])
    version = project["version"]

    cmake = _tool("cmake")
    if cmake is None:
        raise RuntimeError("cmake was not found")
    ninja = _tool("ninja")
    with tempfile.TemporaryDirectory() as scratch:
        build = os.path.join(scratch, "build")
        staging = os.path.join(scratch, "staging")
        configure = [cmake, "-S", ROOT, "-B", build, "-DPython_EXECUTABLE=" + sys.executable,
                     "-DCMAKE_BUILD_TYPE=" + skbuild.get("cmake", {}).get("build-type", "Release")]
        if ninja:
            configure += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
        # Extra CMake arguments, as scikit-build-core takes them.
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.check_call(configure)
        subprocess.check_call([cmake, "--build", build])
        subprocess.check_call([cmake, "--install", build, "--prefix", staging])
        for package in skbuild.get("wheel", {}).get("packages", []):
            shutil.copytree(os.path.join(ROOT, package), os.path.join(staging, os.path.basename(package)),
                            ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))

        tag = (config_settings or {}).get("qel.wheel-tag") or _tag()
        dist_info = "%s-%s.dist-info" % (name, version)
        wheel_name = "%s-%s-%s.whl" % (name, version, tag)
        generated = {
            dist_info + "/METADATA": _metadata(project).encode("utf-8"),
            dist_info + "/WHEEL": ("Wheel-Version: 1.0\nGenerator: qel_build_backend\nRoot-Is-Purelib: false\n"
                                   "Tag: %s\n" % tag).encode("ascii"),
        }
        entry_points = _entry_points(project)
        if entry_points:
            generated[dist_info + "/entry_points.txt"] = entry_points.encode("utf-8")
        license_file = os.path.join(ROOT, "LICENSE")
        if os.path.exists(license_file):
            with open(license_file, "rb") as f:
                generated[dist_info + "/LICENSE"] = f.read()

        records = []
        with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
            for directory, _dirs, files in sorted(os.walk(staging)):
                for file_name in sorted(files):
                    full = os.path.join(directory, file_name)
                    arcname = os.path.relpath(full, staging).replace(os.sep, "/")
                    with open(full, "rb") as f:
                        data = f.read()
                    info = zipfile.ZipInfo(arcname, (2020, 1, 1, 0, 0, 0))
                    info.external_attr = (os.stat(full).st_mode & 0o777) << 16
                    info.compress_type = zipfile.ZIP_DEFLATED
                    wheel.writestr(info, data)
                    records.append(_record_row(arcname, data))
            for arcname, data in generated.items():
                wheel.writestr(arcname, data)
                records.append(_record_row(arcname, data))
            record = io.StringIO()
            writer = csv.writer(record, lineterminator="\n")
            writer.writerows(records)
            writer.writerow([dist_info + "/RECORD", "", ""])
            wheel.writestr(dist_info + "/RECORD", record.getvalue())
    return wheel_name
