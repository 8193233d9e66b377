import importlib


def test_modules_import():
    for name in ("talmek.workers.scrivel", "talmek.core.steerix", "talmek.core", "talmek.pc"):
        importlib.import_module(name)
