"""The demo API as a WSGI application, for the gunicorn servers of `make load`."""

import os
import sys

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "demo.load_settings")

from django.core.wsgi import get_wsgi_application  # noqa: E402

application = get_wsgi_application()

import quorvel_core  # noqa: E402

# The load run reads this line back from the server's log: each worker tells
# which side it serves, so a setting that did not take cannot go unnoticed.
print(f"demo.wsgi: worker {os.getpid()} quorvel_core.is_installed()={quorvel_core.is_installed()}",
      file=sys.stderr, flush=True)
