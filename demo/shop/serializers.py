"""Plain DRF serializers: quorvel_core speeds them up without a change."""

from rest_framework import serializers

from .models import Customer, LineItem, Order, Product, Tag


class TagSerializer(serializers.ModelSerializer):
    class Meta:
        model = Tag
        fields = ["id", "name", "color"]


class ProductSerializer(serializers.ModelSerializer):
    tags = TagSerializer(many=True, read_only=True)
    tag_ids = serializers.PrimaryKeyRelatedField(
        source="tags", many=True, write_only=True, queryset=Tag.objects.all(), required=False)

    class Meta:
        model = Product
        fields = ["id", "sku", "name", "description", "category", "price", "stock", "active",
                  "weight_kg", "added", "tags", "tag_ids"]


class CustomerSummarySerializer(serializers.ModelSerializer):
    class Meta:
        model = Customer
        fields = ["id", "name", "email", "tier"]


class CustomerSerializer(serializers.ModelSerializer):
    class Meta:
        model = Customer
        fields = ["id", "uid", "name", "email", "country", "tier", "joined", "birthday", "credit",
                  "newsletter"]


class LineItemSerializer(serializers.ModelSerializer):
    product_name = serializers.CharField(source="product.name", read_only=True)
    subtotal = serializers.SerializerMethodField()

    class Meta:
        model = LineItem
        fields = ["id", "product", "product_name", "quantity", "unit_price", "subtotal"]

    def get_subtotal(self, item):
        return str(item.quantity * item.unit_price)


class OrderSerializer(serializers.ModelSerializer):
    customer = CustomerSummarySerializer(read_only=True)
    customer_id = serializers.PrimaryKeyRelatedField(
        source="customer", queryset=Customer.objects.all(), write_only=True)
    items = LineItemSerializer(many=True, read_only=True)

    class Meta:
        model = Order
        fields = ["id", "number", "customer", "customer_id", "status", "placed", "shipped",
                  "note", "total", "items"]

    def validate_note(self, value):
        if "http://" in value:
            raise serializers.ValidationError("Links are not allowed in notes.")
        return value
