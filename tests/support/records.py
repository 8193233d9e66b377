"""The two shapes of the worker's result records, as tests expect them."""


def ok(result):
    return {"success": True, "result": result}


def fail(error):
    return {"success": False, "error": error}
