"""Service objects: one shared instance per service class.

Both spellings work: `from common import service` and
`from common.service import service` give an object with `Singleton`.
"""

from common.service.service import Singleton
