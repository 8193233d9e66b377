"""Desktop integration of the host: the executor of desktop actions."""
