"""The DRF serializers that the benchmark measures."""

from rest_framework import serializers as s

from .shop.models import Product, Review, Vendor

FLAT_FIELDS = ["id", "name", "active", "price", "created", "released", "uid", "status",
               "vendor", "note"]


class ProductSerializer(s.ModelSerializer):
    """Ten fields: int, str, bool, decimal, datetime, date, UUID, choice,
    foreign key primary key and a nullable string."""

    class Meta:
        model = Product
        fields = FLAT_FIELDS


class VendorSerializer(s.ModelSerializer):
    class Meta:
        model = Vendor
        fields = ["id", "name", "country", "joined"]


class ReviewSerializer(s.ModelSerializer):
    class Meta:
        model = Review
        fields = ["id", "author", "stars", "body", "posted"]


class ProductNestedSerializer(s.ModelSerializer):
    vendor = VendorSerializer()
    reviews = ReviewSerializer(many=True)

    class Meta:
        model = Product
        fields = FLAT_FIELDS + ["reviews"]


# --- Fields whose representation only Python can give ------------------------

class ShoutField(s.CharField):
    def to_representation(self, value):
        return value.upper()


class YesNoField(s.BooleanField):
    def to_representation(self, value):
        return "yes" if value else "no"


class ProductPythonSerializer(s.ModelSerializer):
    """Every field needs the field's own Python code: overridden
    representations, non-ISO formats, a slug relation and a method field."""

    name = ShoutField()
    active = YesNoField()
    price = s.DecimalField(max_digits=10, decimal_places=2, normalize_output=True)
    created = s.DateTimeField(format="%d %b %Y %H:%M")
    released = s.DateField(format="%d/%m/%Y")
    uid = s.UUIDField(format="hex")
    status = s.CharField(source="get_status_display")
    vendor = s.SlugRelatedField(slug_field="name", read_only=True)
    label = s.SerializerMethodField()

    class Meta:
        model = Product
        fields = ["id", "name", "active", "price", "created", "released", "uid", "status",
                  "vendor", "label"]

    def get_label(self, obj):
        return f"{obj.name} ({obj.stock} in stock)"


# --- Write side ---------------------------------------------------------------

class ProductWriteSerializer(s.Serializer):
    name = s.CharField(max_length=200)
    active = s.BooleanField()
    price = s.DecimalField(max_digits=10, decimal_places=2)
    created = s.DateTimeField()
    released = s.DateField()
    uid = s.UUIDField()
    status = s.ChoiceField(choices=Product.Status.choices)
    note = s.CharField(max_length=200, allow_null=True, required=False)
    stock = s.IntegerField(min_value=0, max_value=100_000)
    contact = s.EmailField()


class VendorWriteSerializer(s.Serializer):
    name = s.CharField(max_length=100)
    country = s.CharField(min_length=2, max_length=2)
    joined = s.DateField()


class ReviewWriteSerializer(s.Serializer):
    author = s.CharField(max_length=100)
    stars = s.IntegerField(min_value=1, max_value=5)
    body = s.CharField()
    posted = s.DateTimeField()


class ProductNestedWriteSerializer(ProductWriteSerializer):
    vendor = VendorWriteSerializer()
    reviews = ReviewWriteSerializer(many=True)


class ProductModelWriteSerializer(s.ModelSerializer):
    """ProductWriteSerializer's fields as the model gives them (so `uid` comes
    with its uniqueness check, a query per validation), `contact` declared:
    what `is_valid()` costs a ModelSerializer, whose fields are built anew for
    every instance."""

    contact = s.EmailField()

    class Meta:
        model = Product
        fields = ["id", "name", "active", "price", "created", "released", "uid", "status", "note",
                  "stock", "contact"]
