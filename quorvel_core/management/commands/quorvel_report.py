"""`manage.py quorvel_report`: which fields of each DRF endpoint run natively."""

import json

from django.core.management.base import BaseCommand

from ...report import format_text, project_report


class Command(BaseCommand):
    help = ("For each DRF endpoint, how many of its serializer's fields (nested ones included) "
            "run natively with quorvel_core, and which parts of the others stay in DRF.")

    def add_arguments(self, parser):
        parser.add_argument("--format", choices=("text", "json"), default="text")

    def handle(self, *args, format, **options):
        report = project_report()
        self.stdout.write(json.dumps(report, indent=2) if format == "json" else format_text(report))
