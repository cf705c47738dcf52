"""The base of the exceptions corvel raises, so that a caller can catch corvel's failures in one place."""


class CorvelError(Exception):
    """A failure corvel reports: a tree's lock, a plan, a registry, the manifest store, an unsupported airbyte."""


class Stop(CorvelError):
    """Ends a run before the generator module wrote anything; the message says why."""
