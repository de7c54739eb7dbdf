# engine benches
