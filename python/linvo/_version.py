# The package's version: the project version (CMakeLists.txt), as the build writes it into
# python/_version.py of the build tree. Do not edit; copy that file here when the version changes
# (tests/python/test_packaging.py fails until then).
__version__ = "1.0.0.0"
