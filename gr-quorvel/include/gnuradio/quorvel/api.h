// What the library exports: the block classes and their make().
#ifndef INCLUDED_QUORVEL_API_H
#define INCLUDED_QUORVEL_API_H

#include <gnuradio/attributes.h>

#ifdef gnuradio_quorvel_EXPORTS
#define QUORVEL_API __GR_ATTR_EXPORT
#else
#define QUORVEL_API __GR_ATTR_IMPORT
#endif

#endif /* INCLUDED_QUORVEL_API_H */
