"""Tessavo allows training models through neuro-evolution."""

from tessavo import Genome as Genome
from tessavo import GenomeBatch as GenomeBatch
from tessavo import Model as Model
from tessavo import from_keras as from_keras
from tessavo import get_num_threads as get_num_threads
from tessavo import load as load
from tessavo import optimizers as optimizers
from tessavo import set_num_threads as set_num_threads
from tessavo import set_random_seed as set_random_seed
