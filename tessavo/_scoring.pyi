from tessavo import scorer as scorer
