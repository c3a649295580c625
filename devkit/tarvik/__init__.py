"""Stand-in for the Tarvik application framework package.

Only what the command library reads lives here: the template trees under
cmd/ and templates/, the discovered-apps generator, a minimal Django settings
module and the package checks named by the marketplace module.
"""

__version__ = "0.0.1"
