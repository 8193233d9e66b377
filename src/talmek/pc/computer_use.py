"""Placeholder desktop executor; the real one replaces it."""


class ComputerUseExecutor:
    def get_tool_definition(self):
        return {"type": "computer_20250124", "name": "computer",
                "display_width_px": 1024, "display_height_px": 768}

    def execute_action(self, action, **kwargs):
        return {"type": "error", "error": f"Desktop actions are not available: {action}"}
