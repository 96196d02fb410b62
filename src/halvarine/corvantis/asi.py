"""The module `asi` under its qualified name, `halvarine.corvantis.asi`.

Every class and function of `asi` names `halvarine.corvantis.asi` as its module, and
`import asi` registers the module under that name as well. This file lets the name
resolve in a process that has not imported `asi` yet -- as when pickle loads one of the
module's exceptions or enumeration members in another process.
"""

import sys

import asi

sys.modules[__name__] = asi
