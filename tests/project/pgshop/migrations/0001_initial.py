"""The shelf table, after the hstore extension its facts column needs (which
run_syncdb alone would not create)."""

import django.contrib.postgres.fields
import django.contrib.postgres.fields.hstore
import django.contrib.postgres.fields.ranges
import django.core.serializers.json
from django.contrib.postgres.operations import HStoreExtension
import tests.project.pgshop.models
from django.db import migrations, models


class Migration(migrations.Migration):

    initial = True

    dependencies = [
    ]

    operations = [
        HStoreExtension(),
        migrations.CreateModel(
            name='Shelf',
            fields=[
                ('id', models.AutoField(auto_created=True, primary_key=True, serialize=False, verbose_name='ID')),
                ('name', models.CharField(max_length=40)),
                ('sizes', django.contrib.postgres.fields.ArrayField(base_field=models.IntegerField(null=True), blank=True, default=list, size=None)),
                ('labels', django.contrib.postgres.fields.ArrayField(base_field=models.CharField(max_length=12), blank=True, null=True, size=4)),
                ('grid', django.contrib.postgres.fields.ArrayField(base_field=django.contrib.postgres.fields.ArrayField(base_field=models.IntegerField(null=True), size=None), blank=True, default=list, size=None)),
                ('prices', django.contrib.postgres.fields.ArrayField(base_field=models.DecimalField(decimal_places=2, max_digits=6), blank=True, default=list, size=None)),
                ('uids', django.contrib.postgres.fields.ArrayField(base_field=models.UUIDField(), blank=True, default=list, size=None)),
                ('moments', django.contrib.postgres.fields.ArrayField(base_field=models.DateTimeField(), blank=True, default=list, size=None)),
                ('days', django.contrib.postgres.fields.ArrayField(base_field=models.DateField(), blank=True, null=True, size=None)),
                ('layout', models.JSONField(blank=True, decoder=tests.project.pgshop.models.ShelfDecoder, encoder=django.core.serializers.json.DjangoJSONEncoder, null=True)),
                ('facts', django.contrib.postgres.fields.hstore.HStoreField(blank=True, null=True)),
                ('span', django.contrib.postgres.fields.ranges.IntegerRangeField(blank=True, null=True)),
                ('seen', models.DateTimeField(blank=True, null=True)),
                ('stocked', models.DateTimeField()),
            ],
        ),
    ]
