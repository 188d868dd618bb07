from .common import c2d as c2d
from .common import current_time_str as current_time_str
from .common import dataStore as dataStore
from .common import dict2pairs as dict2pairs
from .common import pair2dict as pair2dict
from .common import str2xpyp as str2xpyp

def find_project_path(matker: str = ".git") -> str: ...
def is_Vantelink_installed() -> bool: ...
