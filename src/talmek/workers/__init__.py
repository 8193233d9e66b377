"""The worker processes of talmek; `scrivel` is the file worker."""
